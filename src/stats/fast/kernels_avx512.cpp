// The fast kernels for AVX-512 (F, DQ, VL, BW): 16 float lanes, tiles of
// 6 rows by 4 vectors (24 accumulators of the 32 registers).
#include <immintrin.h>

#define CORRSHIFT_VECTOR_BYTES 64
#define CORRSHIFT_TILE_ROWS 6
#define CORRSHIFT_TILE_VECTORS 4
#define CORRSHIFT_KERNELS_NAME "avx512"
#define CORRSHIFT_VSQRT(v) ((vf)_mm512_sqrt_ps((__m512)(v)))
#define CORRSHIFT_VRCP(v) ((vf)_mm512_rcp14_ps((__m512)(v)))
#define CORRSHIFT_ANY_LANE(v) (_mm512_test_epi64_mask((__m512i)(v), (__m512i)(v)) != 0)
#define CORRSHIFT_GATHER_PD(table, index) ((vd)_mm512_i32gather_pd((__m256i)(index), (table), 8))

#include "kernels_impl.hpp"

namespace corrshift {
const kernel_table& avx512_kernels() { return kTable; }
}  // namespace corrshift
