// CPU backends of the arithmetic kernels.
#include "core/kernels/cpu_loops.h"
#include "core/kernels/residue_ops.h"

namespace kalvex::kernels {

KALVEX_CPU_KERNEL(AddOp)
KALVEX_CPU_KERNEL(SubOp)
KALVEX_CPU_KERNEL(MulOp)
KALVEX_CPU_KERNEL(DivOp)
KALVEX_CPU_KERNEL(EqualOp)
KALVEX_CPU_KERNEL(NegOp)

}  // namespace kalvex::kernels
