// The fast kernels for AVX-512 (F, DQ, VL, BW): 16 float lanes, tiles of
// 6 rows by 4 vectors (24 accumulators of the 32 registers).
#define CORRSHIFT_VECTOR_BYTES 64
#define CORRSHIFT_TILE_ROWS 6
#define CORRSHIFT_TILE_VECTORS 4
#define CORRSHIFT_KERNELS_NAME "avx512"

#include "arch_x86.hpp"
#include "kernels_impl.hpp"

namespace corrshift {
const kernel_table& avx512_kernels() { return kTable; }
}  // namespace corrshift
