// CPU backends of the arithmetic kernels.
#include "core/kernels/cpu_loops.h"
#include "core/kernels/residue_ops.h"

namespace kalvex::kernels {

KALVEX_CPU_SPLIT_KERNEL(AddOp)
KALVEX_CPU_SPLIT_KERNEL(SubOp)
KALVEX_CPU_SPLIT_KERNEL(MulOp)
KALVEX_CPU_SPLIT_KERNEL(DivOp)
KALVEX_CPU_KERNEL(EqualOp)
KALVEX_CPU_KERNEL(NegOp)
KALVEX_CPU_KERNEL(CommonDenominatorPowersOp)
KALVEX_CPU_KERNEL(ScaledSumOp)

}  // namespace kalvex::kernels
