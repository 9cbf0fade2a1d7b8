#pragma once
// torch.Tensor and torch.device objects <-> ATen values.  The only place that
// sees torch's Python headers.
#include <ATen/core/Tensor.h>
#include <c10/core/Device.h>

#include "binding/py.h"

namespace kalvex::py {

bool is_tensor(PyObject* obj);
const at::Tensor& unpack_tensor(PyObject* obj);  // obj must satisfy is_tensor
Ref wrap_tensor(const at::Tensor& tensor);

Ref wrap_device(const at::Device& device);
// A torch.device object's device, else (any other object) the device that
// torch parses from its str().
at::Device device_of_object(PyObject* obj);
// Parses a device string as torch.device does; makes CUDA ready first, as
// torch's Python layer does, so a missing CUDA gives torch's own error.
at::Device parse_device(PyObject* str);
void prepare_device(const at::Device& device);

}  // namespace kalvex::py
