#include "binding/tensors.h"

#include <torch/csrc/Device.h>
#include <torch/csrc/autograd/python_variable.h>

#include <string>

namespace kalvex::py {

bool is_tensor(PyObject* obj) { return THPVariable_Check(obj); }

const at::Tensor& unpack_tensor(PyObject* obj) { return THPVariable_Unpack(obj); }

Ref wrap_tensor(const at::Tensor& tensor) { return Ref::checked(THPVariable_Wrap(tensor)); }

Ref wrap_device(const at::Device& device) { return Ref::checked(THPDevice_New(device)); }

void prepare_device(const at::Device& device) {
  static bool cuda_ready = false;
  if (!device.is_cuda() || cuda_ready) return;
  Ref cuda = Ref::checked(PyImport_ImportModule("torch.cuda"));
  Ref init = getattr(cuda.get(), "_lazy_init");
  Ref::checked(PyObject_CallNoArgs(init.get()));
  cuda_ready = true;
}

at::Device parse_device(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) throw_error_set();
  at::Device device{std::string(text, static_cast<size_t>(size))};
  prepare_device(device);
  return device;
}

at::Device device_of_object(PyObject* obj) {
  if (THPDevice_Check(obj)) return reinterpret_cast<THPDevice*>(obj)->device;
  Ref text = Ref::checked(PyObject_Str(obj));
  return parse_device(text.get());
}

}  // namespace kalvex::py
