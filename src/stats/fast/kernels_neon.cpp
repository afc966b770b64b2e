// The fast kernels for aarch64 (NEON): 4 float lanes, tiles of 6 rows by 4
// vectors (24 accumulators of the 32 registers).
#define CORRSHIFT_VECTOR_BYTES 16
#define CORRSHIFT_TILE_ROWS 6
#define CORRSHIFT_TILE_VECTORS 4
#define CORRSHIFT_KERNELS_NAME "neon"

#include "arch_neon.hpp"
#include "kernels_impl.hpp"

namespace corrshift {
const kernel_table& neon_kernels() { return kTable; }
}  // namespace corrshift
