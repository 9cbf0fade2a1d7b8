// CUDA backends of the selection, inequality and power kernels.
#include "core/kernels/cuda_loops.cuh"
#include "elementwise/kernels.h"

namespace kalvex::kernels {

KALVEX_ELEMENTWISE_KERNELS(KALVEX_CUDA_KERNEL, KALVEX_CUDA_SPLIT_KERNEL)

}  // namespace kalvex::kernels
