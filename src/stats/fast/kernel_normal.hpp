// Normal p-values of the fast kernels (see kernels_impl.hpp): under the
// sound rules the upper tail of ../normal_tail.hpp on vectors of doubles
// (half a float vector at a time), the same operations in the same order
// as its scalar form, so each lane equals sound_normal_pvalue bit for bit;
// under the classic rules the C library's erfc of normal_pvalue, one value
// at a time.
#pragma once

#include <cstdint>
#include <cstring>

#include "../normal_tail.hpp"
#include "../ztest.hpp"
#include "kernel_fisher.hpp"
#include "kernel_vectors.hpp"

namespace {

using namespace corrshift;

typedef uint64_t vul __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));

// 2^k of integral lanes k in [-160, 28]: k + (shift + 1023) holds k + 1023
// in its low significand bits.
inline vd pow2_lanes(vd k) { return (vd)((vul)(k + (exp_lanes::kRoundShift + 1023.0)) << 52); }

// f (double lanes to double lanes) of each float lane, taken in double
// precision half a vector at a time and rounded back to float.
template <class F>
inline vf in_double_halves(vf x, F f) {
    const vfh half[2] = {low_half_of(x, half_lanes{}), high_half_of(x, half_lanes{})};
    vfh out[2];
    for (int h = 0; h < 2; ++h) out[h] = __builtin_convertvector(f(__builtin_convertvector(half[h], vd)), vfh);
    return join_halves(out[0], out[1], all_lanes{});
}

struct vector_float_lanes {
    static vf upper_tail(vf x) {
        return in_double_halves(x, [](vd v) { return normal_tail::upper_tail_lanes(v, pow2_lanes); });
    }
    static vf magnitude(vf d) { return vabs(d); }
};

// tanh_of_difference of each lane, bit for bit.
inline vf tanh_vec(vf x) {
    return in_double_halves(x, [](vd v) { return exp_lanes::tanh_lanes(v, pow2_lanes); });
}

void tanh_block(const float* in, float* out, int64_t n) { map_lanes(in, out, n, tanh_vec); }

// p[k] = the normal p-value of d[k] with standard error se under the rules
// S: sound_normal_pvalue (sound) or normal_pvalue (classic).
template <class S>
void normal_pvalues(tail alternative, const float* d, float se, float* p, int64_t n) {
    if constexpr (!S::sound) {
        for (int64_t k = 0; k < n; ++k) p[k] = normal_pvalue(alternative, d[k], se);
    } else {
        map_lanes(d, p, n, [=](vf v) { return normal_tail::pvalue_lanes(alternative, v, se, vector_float_lanes{}); });
    }
}

}  // namespace
