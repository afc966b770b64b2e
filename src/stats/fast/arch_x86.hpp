// The x86 pieces of the fast kernels, for the build of the including file:
// CORRSHIFT_VECTOR_BYTES 64 (AVX-512 F, DQ, VL, BW), 32 (AVX2) or 16
// (SSE2, the baseline of x86-64). Defines the macros kernels_impl.hpp
// expects of every architecture header:
//   CORRSHIFT_VSQRT(v)      correctly rounded square root of each float lane
//   CORRSHIFT_VRCP(v)       reciprocal of each float lane, relative error
//                           below 2^-11 (rcp: 1.5 * 2^-12; rcp14: 2^-14)
//   CORRSHIFT_ANY_LANE(v)   true when any bit of the vector v is set
//   CORRSHIFT_PREFETCH(p)   asks for the cache line holding p
// and, where the instruction set has them, CORRSHIFT_GATHER_PD(table, index):
// the doubles table[index[l]] for the int32 lanes of a half-width vector;
// CORRSHIFT_LOAD_LANES(p, from, to, fill): the floats p[l] of the lanes l
// in [from, to), `fill` in the others, touching no memory outside them;
// CORRSHIFT_SUBTRACT_LANES(p, v, from, to): p[l] -= v[l] (uint32) for the
// lanes in [from, to) only, writing nothing else (another thread may own
// the rest).
#pragma once

#include <immintrin.h>

#if CORRSHIFT_VECTOR_BYTES == 64
// The masked forms with every lane selected and a zeroed source: the
// unmasked intrinsics pass GCC an undefined source register, which it
// reports as maybe used uninitialised.
#define CORRSHIFT_VSQRT(v) ((vf)_mm512_maskz_sqrt_ps(0xffff, (__m512)(v)))
#define CORRSHIFT_VRCP(v) ((vf)_mm512_maskz_rcp14_ps(0xffff, (__m512)(v)))
#define CORRSHIFT_ANY_LANE(v) (_mm512_test_epi64_mask((__m512i)(v), (__m512i)(v)) != 0)
#define CORRSHIFT_GATHER_PD(table, index) \
    ((vd)_mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xff, (__m256i)(index), (table), 8))
#define CORRSHIFT_LANE_MASK(from, to) \
    static_cast<__mmask16>(((1u << (to)) - 1u) & ~((1u << (from)) - 1u))
#define CORRSHIFT_LOAD_LANES(p, from, to, fill) \
    ((vf)_mm512_mask_loadu_ps((__m512)(fill), CORRSHIFT_LANE_MASK(from, to), (p)))
#define CORRSHIFT_SUBTRACT_LANES(p, v, from, to)                                           \
    do {                                                                                   \
        const __mmask16 lanes_ = CORRSHIFT_LANE_MASK(from, to);                            \
        const __m512i now_ = _mm512_maskz_loadu_epi32(lanes_, (p));                        \
        _mm512_mask_storeu_epi32((p), lanes_, _mm512_sub_epi32(now_, (__m512i)(v)));       \
    } while (0)
// y times the float at p in every lane, the float read by the multiply
// itself (an embedded broadcast: no broadcast instruction of its own).
#define CORRSHIFT_MUL_BROADCAST(y, p)                                               \
    ({                                                                              \
        vf product_;                                                                \
        asm("vmulps %1%{1to16%}, %2, %0" : "=v"(product_) : "m"(*(p)), "v"(y));     \
        product_;                                                                   \
    })
#elif CORRSHIFT_VECTOR_BYTES == 32
#define CORRSHIFT_VSQRT(v) ((vf)_mm256_sqrt_ps((__m256)(v)))
#define CORRSHIFT_VRCP(v) ((vf)_mm256_rcp_ps((__m256)(v)))
#define CORRSHIFT_ANY_LANE(v) (!_mm256_testz_si256((__m256i)(v), (__m256i)(v)))
// The masked gather, every lane selected, into zeros (see above).
#define CORRSHIFT_GATHER_PD(table, index)                                                        \
    ((vd)_mm256_mask_i32gather_pd(_mm256_setzero_pd(), (table), (__m128i)(index),               \
                                  _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8))
// lanes_between (kernel_vectors.hpp): all ones in the lanes [from, to).
#define CORRSHIFT_LANE_MASK(from, to) ((__m256i)lanes_between((from), (to)))
#define CORRSHIFT_LOAD_LANES(p, from, to, fill)                                                 \
    ((vf)_mm256_blendv_ps((__m256)(fill), _mm256_maskload_ps((p), CORRSHIFT_LANE_MASK(from, to)), \
                          _mm256_castsi256_ps(CORRSHIFT_LANE_MASK(from, to))))
#define CORRSHIFT_SUBTRACT_LANES(p, v, from, to)                                    \
    do {                                                                            \
        const __m256i lanes_ = CORRSHIFT_LANE_MASK(from, to);                       \
        int* const at_ = reinterpret_cast<int*>(p);                                 \
        const __m256i now_ = _mm256_maskload_epi32(at_, lanes_);                    \
        _mm256_maskstore_epi32(at_, lanes_, _mm256_sub_epi32(now_, (__m256i)(v)));  \
    } while (0)
#elif CORRSHIFT_VECTOR_BYTES == 16
#define CORRSHIFT_VSQRT(v) ((vf)_mm_sqrt_ps((__m128)(v)))
#define CORRSHIFT_VRCP(v) ((vf)_mm_rcp_ps((__m128)(v)))
#define CORRSHIFT_ANY_LANE(v) (_mm_movemask_epi8(_mm_cmpeq_epi32((__m128i)(v), _mm_setzero_si128())) != 0xffff)
#else
#error "x86 kernels: CORRSHIFT_VECTOR_BYTES must be 64, 32 or 16"
#endif

// Written as an instruction of its own: GCC drops __builtin_prefetch calls
// whose function it finds free of side effects. Into the second-level
// cache: a line asked for a tile ahead waits out a tile that streams more
// panel data than the first-level cache holds, which would evict it there.
#define CORRSHIFT_PREFETCH(p) asm volatile("prefetcht1 %0" : : "m"(*static_cast<const char*>(p)))
