// The fast kernels for the baseline instruction set of x86-64 (SSE2): 4
// float lanes, tiles of 6 rows by 2 vectors.
#include <emmintrin.h>

#define CORRSHIFT_VECTOR_BYTES 16
#define CORRSHIFT_TILE_ROWS 6
#define CORRSHIFT_TILE_VECTORS 2
#define CORRSHIFT_KERNELS_NAME "baseline"
#define CORRSHIFT_VSQRT(v) ((vf)_mm_sqrt_ps((__m128)(v)))
#define CORRSHIFT_VRCP(v) ((vf)_mm_rcp_ps((__m128)(v)))
#define CORRSHIFT_ANY_LANE(v) (_mm_movemask_epi8(_mm_cmpeq_epi32((__m128i)(v), _mm_setzero_si128())) != 0xffff)

#include "kernels_impl.hpp"

namespace corrshift {
const kernel_table& baseline_kernels() { return kTable; }
}  // namespace corrshift
