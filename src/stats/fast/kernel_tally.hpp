// The decisions of the permutation cycles in tanh space (see
// kernels_impl.hpp): the z-test's tally and the per-unit median counts,
// each lane of a vector decided without the Fisher transform unless it
// lies too close to call.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "../rules.hpp"
#include "../tally.hpp"
#include "../ztest.hpp"
#include "fisher_table.hpp"
#include "jobs.hpp"
#include "kernel_fisher.hpp"
#include "kernel_normal.hpp"
#include "kernel_refine.hpp"
#include "kernel_vectors.hpp"

namespace {

using namespace corrshift;

// ---------------------------------------------------------------------------
// Tally without the transform. A permutation cycle of the z-test only asks
// whether each permuted difference d = A(c1) - A(c2) (A the rounded Fisher
// transform) is at least as extreme as the observed z. With the exact
// atanh, atanh(c1) - atanh(c2) = D and tanh(D) = (c1 - c2) / (1 - c1 c2) = Q;
// and |d - D| <= 2^-24 (|A(c1)| + |A(c2)| + |d|) < 2^-19 for |c| <= 0.99.
// tanh is increasing with slope at most 1, so Q > tanh(z) + 2^-19 gives
// D > z + 2^-19 and d > z, and Q < tanh(z) - 2^-19 gives d < z (likewise
// for |Q| against tanh|z|). The observed cycle stores t = tanh(z) rounded
// to float (error below 2^-23); Q is computed in float with a relative
// error below 2^-18 (1 - c1 c2 >= 0.0199 amplifies the product's rounding
// at most 50 times; the reciprocal estimate refined by one Newton step
// adds about 2^-22). So wherever Q and t differ by more than kTanhMargin,
// comparing them gives the answer of comparing d and z; the other lanes
// (and NaN) take the exact transform.

constexpr float kTanhMargin = 0x1p-16f;

// Stands in for the observed value of lanes outside the pairs: every
// difference clears it.
constexpr float kFar = __builtin_inff();

// (c1 - c2) / (1 - c1 c2) of the clamped correlations, approximately.
inline vf tanh_difference(vf c1, vf c2) {
    const vf den = 1.0f - c1 * c2;
    vf inverse = CORRSHIFT_VRCP(den);
    inverse = inverse * (2.0f - den * inverse);
    return (c1 - c2) * inverse;
}

// Lanes where a and b lie within the margin (or either is NaN).
inline vi within_margin(vf a, vf b) { return !(vabs(a - b) > kTanhMargin); }

// Lanes where the approximate q may compare with t otherwise than the
// difference with the observed one.
inline vi unsure_lanes(vf q, vf t, tail alternative) {
    return alternative == tail::two_sided ? within_margin(vabs(q), vabs(t)) : within_margin(q, t);
}

// Sound rules: the bound above holds for correlations within
// [-0.99, 0.99]; lanes beyond it (they are not clamped there) take the
// exact transform.
template <class S>
inline vi beyond_clamp(vf c1, vf c2) {
    if constexpr (S::sound)
        return (vi)(vabs(c1) > kClamp) | (vi)(vabs(c2) > kClamp);
    else
        return vi{};
}

// Sound rules count the cycles in which a pair's difference is undefined.
inline vi undefined_lanes(vf c1, vf c2) { return (vi)(c1 != c1) | (vi)(c2 != c2); }

inline void subtract_lanes(uint32_t* at, vi lanes) {
    vi v;
    std::memcpy(&v, at, sizeof v);
    v -= lanes;
    std::memcpy(at, &v, sizeof v);
}

// t[k] = the tanh of the observed difference d[k] that the tally compares
// with (tanh_of_difference, vectorised), for k < n. Sound rules: an
// undefined observed difference is never exceeded, so it is placed beyond
// every permuted value, where no lane is unsure.
template <class S>
inline void observed_tanhs(tail alternative, const float* d, float* t, int64_t n) {
    const vf undefined_at = splat(alternative == tail::less ? -kFar : kFar);
    map_lanes(d, t, n, [=](vf v) {
        const vf tanh_v = tanh_vec(v);
        if constexpr (S::sound) return v != v ? undefined_at : tanh_v;
        return tanh_v;
    });
}

// Lanes whose permuted difference d is at least as extreme as the observed
// one under the alternative (never for NaN), as tally_extremes counts them.
inline vi extreme_lanes(vf d, vf observed, tail alternative) {
    switch (alternative) {
        case tail::two_sided: return (vi)(vabs(d) >= vabs(observed));
        case tail::greater: return (vi)(d >= observed);
        case tail::less: return (vi)(d <= observed);
        default: return vi{};
    }
}

// Tallies the W pairs of one tile row, all of one segment, from the row's
// sums in both groups: lane l of vector c holds pair position at + c VL + l.
// The vectors are computed side by side; the exact transform is taken only
// for a vector with an unsure lane.
template <class S>
inline void tally_row(const pair_job& job, const pair_tally& out, const float* sums1, const float* sums2,
                      float count1, float count2, int32_t first, int32_t j0, int32_t at, const double* table) {
    vf c1[C], c2[C];
    vi hit[C], unsure[C];
    vi any = vi{};
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) {
        c1[c] = clamp_vec<S>(correlation_vec<S>(load(sums1 + c * VL), count1, row_moments(job.g1, first, j0, c)));
        c2[c] = clamp_vec<S>(correlation_vec<S>(load(sums2 + c * VL), count2, row_moments(job.g2, first, j0, c)));
        const vf q = tanh_difference(c1[c], c2[c]);
        const vf t = load(out.z_tanh + at + c * VL);
        unsure[c] = unsure_lanes(q, t, out.alternative) | beyond_clamp<S>(c1[c], c2[c]);
        hit[c] = extreme_lanes(q, t, out.alternative);
        any |= unsure[c];
    }
    if (CORRSHIFT_ANY_LANE(any)) {
        for (int c = 0; c < C; ++c) {
            if (!CORRSHIFT_ANY_LANE(unsure[c])) continue;
            const vf d = refined_lanes<S>(&job, lane_rows{first, j0 + c * VL}, c1[c], c2[c], unsure[c],
                                          exact_differences(c1[c], c2[c], table));
            hit[c] = extreme_lanes(d, load(out.z_observed + at + c * VL), out.alternative);
            // An undefined difference makes q NaN, so its lane is always
            // unsure: the undefined ones are counted here only.
            if constexpr (S::sound) {
                const vi undefined = undefined_lanes(c1[c], c2[c]);
                if (CORRSHIFT_ANY_LANE(undefined)) subtract_lanes(out.undefined + at + c * VL, undefined);
            }
        }
    }
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) subtract_lanes(out.counts + at + c * VL, hit[c]);
}

// Tallies the VL pairs of one vector whose lane l holds pair position
// at + l, of which the lanes [from, to) belong to the segment.
template <class S>
inline void tally_vector(const pair_job* job, const lane_rows& rows, const pair_tally& out, vf r1, vf r2, int32_t at,
                         int from, int to, const double* table) {
    const vf c1 = clamp_vec<S>(r1), c2 = clamp_vec<S>(r2);
    const vf q = tanh_difference(c1, c2);
    // Lanes outside the segment are left alone: they may hold NaN (rows
    // past the last feature), which would otherwise look unsure.
    const vi inside = lanes_between(from, to);
    const vf t = load_lanes(out.z_tanh, at, from, to, kFar);
    vi hit = extreme_lanes(q, t, out.alternative);
    const vi unsure = unsure_lanes(q, t, out.alternative) | beyond_clamp<S>(c1, c2);
    if (CORRSHIFT_ANY_LANE(unsure & inside)) {
        const vf observed = load_lanes(out.z_observed, at, from, to, kFar);
        const vf d = refined_lanes<S>(job, rows, c1, c2, inside, exact_differences(c1, c2, table));
        hit = extreme_lanes(d, observed, out.alternative);
    }
    subtract_lanes_between(out.counts, at, hit, from, to);
    if constexpr (S::sound) {
        const vi undefined = undefined_lanes(c1, c2) & inside;
        if (CORRSHIFT_ANY_LANE(undefined)) subtract_lanes_between(out.undefined, at, undefined, from, to);
    }
}

void tally_block(const float* c1, const float* c2, const float* observed, tail alternative, uint32_t* counts,
                 uint32_t* undefined, int64_t n, statistics rules) {
    const double* table = fisher_table();
    with_rules(rules, [&](auto r) {
        using S = decltype(r);
        float t[VL];
        pair_tally out{};
        out.alternative = alternative;
        for (int64_t k = 0; k < n; k += VL) {
            const int len = static_cast<int>(n - k < VL ? n - k : VL);
            vf a = vf{}, b = vf{};
            for (int l = 0; l < len; ++l) {
                a[l] = c1[k + l];
                b[l] = c2[k + l];
            }
            observed_tanhs<S>(alternative, observed + k, t, len);
            out.z_observed = observed + k;
            out.z_tanh = t;
            out.counts = counts + k;
            out.undefined = undefined != nullptr ? undefined + k : nullptr;
            tally_vector<S>(nullptr, lane_rows{0, 0}, out, a, b, 0, 0, len, table);
        }
    });
}

// ---------------------------------------------------------------------------
// Per-unit median counts (see median_counts): decided in tanh space as the
// z-test tally is, with the exact transform for unsure lanes.

inline vf median_key(vf v, const median_counts& out) { return out.magnitude ? vabs(v) : v; }

inline vi median_hit(vf key, vf threshold, const median_counts& out) {
    return out.not_above ? (vi)(key <= threshold) : (vi)(key < threshold);
}

// Lanes [from, to) of one vector: pairs (i, first_lane + l) whose unit is
// u (the run, or the first feature i). Adds the counts of unit u to hits_u /
// numbers_u (lane sums taken later) and, for per-feature units, those of
// features first_lane + l to the worker's arrays.
template <class S>
inline void count_vector(const pair_job& job, const lane_rows& rows, const median_counts& out, vf r1, vf r2,
                         int32_t u, int32_t first_lane, int from, int to, const double* table, vi& hits_u,
                         vi& numbers_u) {
    const bool features = out.run_start == nullptr;
    const vi in_range = lanes_between(from, to);
    const vf c1 = clamp_vec<S>(r1), c2 = clamp_vec<S>(r2);
    const vf q = tanh_difference(c1, c2);
    const vf key = median_key(q, out);
    const vf tu = splat(out.tanh[u]);
    const vf tj = features ? load(out.tanh + first_lane) : splat(kFar);
    vi hit_u = median_hit(key, tu, out), hit_j = median_hit(key, tj, out);
    const vi unsure = (within_margin(key, tu) | within_margin(key, tj) | beyond_clamp<S>(c1, c2)) & in_range;
    if (CORRSHIFT_ANY_LANE(unsure)) {
        const vf exact =
            median_key(refined_lanes<S>(&job, rows, c1, c2, in_range, exact_differences(c1, c2, table)), out);
        hit_u = median_hit(exact, splat(out.threshold[u]), out);
        if (features) hit_j = median_hit(exact, load(out.threshold + first_lane), out);
    }
    const vi number = (vi)(q == q) & in_range;
    hits_u -= hit_u & in_range;
    numbers_u -= number;
    if (!features) return;
    vi h, n;
    std::memcpy(&h, out.hits + first_lane, sizeof h);
    std::memcpy(&n, out.numbers + first_lane, sizeof n);
    h -= hit_j & in_range;
    n -= number;
    std::memcpy(out.hits + first_lane, &h, sizeof h);
    std::memcpy(out.numbers + first_lane, &n, sizeof n);
}

// The unit of the pair at position pos with first row `first`: the run
// holding pos (-1 for a position in no run), or the first feature.
inline int32_t median_unit(const median_counts& out, int32_t first, int32_t pos) {
    if (out.run_start == nullptr) return first;
    const int32_t* starts = out.run_start;
    const auto g = static_cast<int32_t>(std::upper_bound(starts, starts + out.runs, pos) - starts) - 1;
    return g >= 0 && pos < out.run_stop[g] ? g : -1;
}

}  // namespace
