// CUDA backends of the arithmetic kernels.
#include "core/kernels/cuda_loops.cuh"
#include "core/kernels/residue_ops.h"

namespace kalvex::kernels {

KALVEX_ARITHMETIC_KERNELS(KALVEX_CUDA_KERNEL, KALVEX_CUDA_SPLIT_KERNEL)

}  // namespace kalvex::kernels
