#pragma once
// What differs between the torches this builds against (Debian's 1.13, pip's
// 2.x), bridged in one place so that results do not depend on the torch.
//
// The sources themselves build unchanged on both: the interfaces they use
// (c10::optional, TensorIterator, the CUDA loops) are spelled the same.  What
// differs is behaviour:
//
//  - Square roots.  torch 1.13's CPU kernel and CUDA's round correctly, as
//    IEEE 754 defines the operation; torch 2's CPU kernel (vectorised) is off
//    by an ulp for about one float32 in five and one float64 in seventy.  The
//    Newton root starts from the float root of the float view, so every root
//    seeded from such a float would differ by torch.
#include <ATen/core/Tensor.h>

namespace kalvex {

// The square root of every element, correctly rounded in the tensor's
// floating dtype (float32, float64, float16, bfloat16), on every torch; NaN
// stays NaN.  Other dtypes take torch's sqrt (which promotes them to float).  On the CPU a loop of std::sqrt (half types through float, which
// rounds the same); on other devices torch's sqrt of the values widened to
// float64, which CUDA rounds correctly, narrowed back (exact for square roots:
// a double carries more than twice a float's digits).
at::Tensor correctly_rounded_sqrt(const at::Tensor& t);

}  // namespace kalvex
