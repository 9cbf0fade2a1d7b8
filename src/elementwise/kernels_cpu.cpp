// CPU backends of the selection, inequality and power kernels.
#include "core/kernels/cpu_loops.h"
#include "elementwise/kernels.h"

namespace kalvex::kernels {

KALVEX_CPU_KERNEL(NegateWhereOp)
KALVEX_CPU_KERNEL(KeepOrZeroOp)
KALVEX_CPU_KERNEL(SelectOp)
KALVEX_CPU_KERNEL(ClampOp)
KALVEX_CPU_KERNEL(NotEqualOp)
KALVEX_CPU_SPLIT_KERNEL(PowerOp)

}  // namespace kalvex::kernels
