// The fast kernels for the baseline instruction set of x86-64 (SSE2): 4
// float lanes, tiles of 6 rows by 2 vectors.
#define CORRSHIFT_VECTOR_BYTES 16
#define CORRSHIFT_TILE_ROWS 6
#define CORRSHIFT_TILE_VECTORS 2
#define CORRSHIFT_KERNELS_NAME "baseline"

#include "arch_x86.hpp"
#include "kernels_impl.hpp"

namespace corrshift {
const kernel_table& baseline_kernels() { return kTable; }
}  // namespace corrshift
