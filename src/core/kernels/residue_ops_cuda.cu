// CUDA backends of the arithmetic kernels.
#include "core/kernels/cuda_loops.cuh"
#include "core/kernels/residue_ops.h"

namespace kalvex::kernels {

KALVEX_CUDA_SPLIT_KERNEL(AddOp)
KALVEX_CUDA_SPLIT_KERNEL(SubOp)
KALVEX_CUDA_SPLIT_KERNEL(MulOp)
KALVEX_CUDA_SPLIT_KERNEL(DivOp)
KALVEX_CUDA_KERNEL(EqualOp)
KALVEX_CUDA_KERNEL(NegOp)
KALVEX_CUDA_KERNEL(CommonDenominatorPowersOp)
KALVEX_CUDA_KERNEL(ScaledSumOp)

}  // namespace kalvex::kernels
