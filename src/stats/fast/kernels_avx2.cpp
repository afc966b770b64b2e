// The fast kernels for AVX2: 8 float lanes, tiles of 6 rows by 2 vectors
// (12 accumulators of the 16 registers).
#include <immintrin.h>

#define CORRSHIFT_VECTOR_BYTES 32
#define CORRSHIFT_TILE_ROWS 6
#define CORRSHIFT_TILE_VECTORS 2
#define CORRSHIFT_KERNELS_NAME "avx2"
#define CORRSHIFT_VSQRT(v) ((vf)_mm256_sqrt_ps((__m256)(v)))
#define CORRSHIFT_VRCP(v) ((vf)_mm256_rcp_ps((__m256)(v)))
#define CORRSHIFT_ANY_LANE(v) (!_mm256_testz_si256((__m256i)(v), (__m256i)(v)))
#define CORRSHIFT_GATHER_PD(table, index) ((vd)_mm256_i32gather_pd((table), (__m128i)(index), 8))

#include "kernels_impl.hpp"

namespace corrshift {
const kernel_table& avx2_kernels() { return kTable; }
}  // namespace corrshift
