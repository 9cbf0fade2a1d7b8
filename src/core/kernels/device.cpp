// Refusals of the residue-kernel launcher, kept out of its header.
#include <string>

#include "core/errors.h"
#include "core/kernels/residue_kernel.h"

namespace kalvex::kernels {

void unsupported_device(const at::Tensor& t) {
  fail(ErrorKind::Runtime, "ModularTensor arithmetic is not available on device " + t.device().str() +
                               (t.is_cuda() ? " (this build has no CUDA support)" : ""));
}

void wrong_input_dtype(int index, at::ScalarType expected, at::ScalarType got) {
  fail(ErrorKind::Runtime, "residue kernel input " + std::to_string(index) + " must be " +
                               c10::toString(expected) + ", got " + c10::toString(got));
}

}  // namespace kalvex::kernels
