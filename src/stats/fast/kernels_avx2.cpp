// The fast kernels for AVX2: 8 float lanes, tiles of 6 rows by 2 vectors
// (12 accumulators of the 16 registers).
#define CORRSHIFT_VECTOR_BYTES 32
#define CORRSHIFT_TILE_ROWS 6
#define CORRSHIFT_TILE_VECTORS 2
#define CORRSHIFT_KERNELS_NAME "avx2"

#include "arch_x86.hpp"
#include "kernels_impl.hpp"

namespace corrshift {
const kernel_table& avx2_kernels() { return kTable; }
}  // namespace corrshift
