// CPU backends of the selection, inequality and power kernels.
#include "core/kernels/cpu_loops.h"
#include "elementwise/kernels.h"

namespace kalvex::kernels {

KALVEX_ELEMENTWISE_KERNELS(KALVEX_CPU_KERNEL, KALVEX_CPU_SPLIT_KERNEL)

}  // namespace kalvex::kernels
