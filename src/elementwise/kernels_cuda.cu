// CUDA backends of the selection, inequality and power kernels.
#include "core/kernels/cuda_loops.cuh"
#include "elementwise/kernels.h"

namespace kalvex::kernels {

KALVEX_CUDA_KERNEL(NegateWhereOp)
KALVEX_CUDA_KERNEL(KeepOrZeroOp)
KALVEX_CUDA_KERNEL(SelectOp)
KALVEX_CUDA_KERNEL(ClampOp)
KALVEX_CUDA_KERNEL(NotEqualOp)
KALVEX_CUDA_SPLIT_KERNEL(PowerOp)

}  // namespace kalvex::kernels
