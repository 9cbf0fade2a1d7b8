// CPU backends of the arithmetic kernels.
#include "core/kernels/cpu_loops.h"
#include "core/kernels/residue_ops.h"

namespace kalvex::kernels {

KALVEX_ARITHMETIC_KERNELS(KALVEX_CPU_KERNEL, KALVEX_CPU_SPLIT_KERNEL)

}  // namespace kalvex::kernels
