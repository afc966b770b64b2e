// The Fisher transform of the fast kernels (see kernels_impl.hpp), and the
// correlations of VL pairs it is taken of.
#pragma once

#include <cmath>
#include <cstdint>

#include "../correlation.hpp"
#include "../rules.hpp"
#include "../ztest.hpp"
#include "fisher_table.hpp"
#include "jobs.hpp"
#include "kernel_vectors.hpp"

namespace {

using namespace corrshift;

// ---------------------------------------------------------------------------
// Fisher transform: (float) atanh((double) c), vectorised.
//
// In double precision, for a = |c|: below 2^-7 the odd Taylor series to
// a^9; from 2^-7 on, atanh(a) = atanh(c0) + atanh(t) with
// t = (a - c0) / (1 - a c0), where c0 = 1 - u0 and u0 is 1 - a cut to 7
// significant bits (so |t| <= 2^-6 and a series to t^7 suffices), and
// atanh(c0) comes from a table of 448 doubles. The double result is within
// a few units in its last place of the exact value; rounding it to float
// gives the reference value except when the exact value lies within those
// few units of a midpoint between two floats. Lanes whose double result lies
// within 2^10 units of such a midpoint, lanes with |c| > 0.99 and NaN lanes
// are recomputed with the scalar reference instead. An exhaustive run over
// every float in [-0.99, 0.99] (bench/fisher_proof.py) confirms the result.

typedef int32_t vih __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES / 2)));

// Halves of a vector and their joining, in registers.
template <class V, int... I>
inline auto low_half_of(V v, std::integer_sequence<int, I...>) {
    return __builtin_shufflevector(v, v, I...);
}
template <class V, int... I>
inline auto high_half_of(V v, std::integer_sequence<int, I...>) {
    return __builtin_shufflevector(v, v, (I + VD)...);
}
template <class H, int... I>
inline auto join_halves(H lo, H hi, std::integer_sequence<int, I...>) {
    return __builtin_shufflevector(lo, hi, I...);
}
using half_lanes = std::make_integer_sequence<int, VD>;
using all_lanes = std::make_integer_sequence<int, VL>;

template <int... I>
inline vd lookup_lanes(const double* table, vih index, std::integer_sequence<int, I...>) {
    return vd{table[index[I]]...};
}

inline vd table_lookup(const double* table, vih index) {
#ifdef CORRSHIFT_GATHER_PD
    return CORRSHIFT_GATHER_PD(table, index);
#else
    return lookup_lanes(table, index, half_lanes{});
#endif
}

inline vd series_small(vd a) {
    const vd a2 = a * a;
    return a + a * a2 * (1.0 / 3.0 + a2 * (1.0 / 5.0 + a2 * (1.0 / 7.0 + a2 * (1.0 / 9.0))));
}

// |atanh| of the VD lanes a (>= 0, as doubles) of one half; u0 as above.
inline vd atanh_magnitude(vd a, vd u0, vih index, const double* table) {
    const vd c0 = 1.0 - u0;
    const vd t = (a - c0) / (1.0 - a * c0);
    const vd t2 = t * t;
    const vd large = table_lookup(table, index) + (t + t * t2 * (1.0 / 3.0 + t2 * (1.0 / 5.0 + t2 * (1.0 / 7.0))));
    return (a < kFisherSmall) ? series_small(a) : large;
}

// Lanes whose double result d may round to float differently from the
// exact value: the low 29 bits of the significand lie near one half.
inline vl near_midpoint(vd d) {
    const vl tail_bits = ((vl)d & int64_t{0x1fffffff}) - int64_t{0x10000000};
    constexpr int64_t kNear = 1 << 10;
    return (tail_bits < kNear) & (tail_bits > -kNear);
}

// Fisher transform of VL floats.
inline vf fisher_vec(vf c, const double* table) {
    const vf a = (vf)((vi)c & 0x7fffffff);
    // Index of u0 among the floats 2^-7 .. 1 cut to 7 significant bits.
    vi index = ((vi)(1.0f - a) >> 17) - kFisherTableBase;
    index = (index < 0) ? vi{} : index;
    index = (index >= kFisherTableSize) ? vi{} + (kFisherTableSize - 1) : index;
    const vf u0 = (vf)((index + kFisherTableBase) << 17);
    const vfh ah[2] = {low_half_of(a, half_lanes{}), high_half_of(a, half_lanes{})};
    const vfh uh[2] = {low_half_of(u0, half_lanes{}), high_half_of(u0, half_lanes{})};
    const vih ih[2] = {low_half_of(index, half_lanes{}), high_half_of(index, half_lanes{})};
    vfh out[2];
    for (int h = 0; h < 2; ++h) {
        const vd ad = __builtin_convertvector(ah[h], vd);
        const vd d = atanh_magnitude(ad, __builtin_convertvector(uh[h], vd), ih[h], table);
        out[h] = __builtin_convertvector(d, vfh);
        const vl suspect = near_midpoint(d) | (vl)(ad > double{kClamp}) | (vl)(ad != ad);
        if (CORRSHIFT_ANY_LANE(suspect)) {
            for (int l = 0; l < VD; ++l)
                if (suspect[l]) out[h][l] = std::fabs(fisher_transform(ah[h][l]));
        }
    }
    const vf v = join_halves(out[0], out[1], all_lanes{});
    return (vf)((vi)v | ((vi)c & int32_t(0x80000000u)));
}

inline vf exact_differences(vf c1, vf c2, const double* table) {
    return fisher_vec(c1, table) - fisher_vec(c2, table);
}

void fisher_block(const float* in, float* out, int64_t n) {
    int64_t k = 0;
    const double* table = fisher_table();
    for (; k + VL <= n; k += VL) store(out + k, fisher_vec(load(in + k), table));
    for (; k < n; ++k) out[k] = fisher_transform(in[k]);
}

// r limited to [-bound, bound] (NaN lanes pass).
inline vf bound_vec(vf r, float bound) {
    r = (r < -bound) ? splat(-bound) : r;
    return (r > bound) ? splat(bound) : r;
}

// The correlations that enter the Fisher transform under the rules.
template <class S>
inline vf clamp_vec(vf r) {
    return bound_vec(r, S::fisher_bound);
}

// ---------------------------------------------------------------------------
// Correlations and Fisher difference of VL pairs from their sums and the
// rows' moments: the arithmetic of the straightforward kernel, lane by lane.

struct lane_moments {
    vf mean_i, var_i, mean_j, var_j;
};

// The correlations of VL pairs from their sums of products. Sound rules:
// the rows were standardised (standardise_block), so the sum is the
// correlation (NaN for a row without variance), not yet capped to [-1, 1]
// (the Fisher transform's bound, clamp_vec, caps it further, and
// reported_vec caps what is written). Classic rules: population moments,
// -2.0 for a row with zero variance.
template <class S>
inline vf correlation_vec(vf sxy, float count, const lane_moments& m) {
    if constexpr (S::sound) {
        return sxy;
    } else {
        const vf cov = sxy / count - m.mean_j * m.mean_i;
        const vf q = m.var_j * m.var_i;
        const vf r = cov / CORRSHIFT_VSQRT(q);
        const vi undefined = (m.var_i == 0.0f) | (m.var_j == 0.0f);
        return undefined ? splat(kUndefinedCorrelation) : r;
    }
}

// The correlation written out: under sound rules capped to [-1, 1].
template <class S>
inline vf reported_vec(vf r) {
    if constexpr (S::sound)
        return bound_vec(r, 1.0f);
    else
        return r;
}


inline lane_moments row_moments(const group_panel& g, int32_t i, int32_t j0, int c) {
    return {splat(g.mean[i]), splat(g.var[i]), load(g.mean + j0 + c * VL), load(g.var + j0 + c * VL)};
}

}  // namespace
