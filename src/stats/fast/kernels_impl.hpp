// The fast kernels, written once over generic vectors and compiled once per
// instruction set. Each including file defines, before the include:
//   CORRSHIFT_VECTOR_BYTES  bytes of one vector register (64, 32, 16)
//   CORRSHIFT_TILE_ROWS     rows i of one register tile
//   CORRSHIFT_TILE_VECTORS  vectors of rows j of one register tile
//   CORRSHIFT_KERNELS_NAME  the name of the build ("avx512", ...)
// and includes its architecture header (arch_x86.hpp, arch_neon.hpp,
// arch_generic.hpp), which defines CORRSHIFT_VSQRT(v) (float vector square
// root), CORRSHIFT_VRCP(v) (approximate reciprocal, relative error below
// 2^-11), CORRSHIFT_ANY_LANE(v) (true when a 64-bit lane of v is non-zero),
// CORRSHIFT_PREFETCH(p) and optionally CORRSHIFT_GATHER_PD(table, index):
// nothing below is specific to one architecture. Everything here lives in
// the including file's anonymous namespace, so builds for different
// instruction sets never share a symbol.
//
// Exactness: every sum is a float32 sum in sample order, every product is
// rounded before it is added (the build uses -ffp-contract=off), and the
// vector lanes always run over different pairs or rows, never over the
// samples of one sum. So each value equals the one of the straightforward
// kernel bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "jobs.hpp"
#include "../correlation.hpp"
#include "../rank.hpp"
#include "../rules.hpp"
#include "../ztest.hpp"
#include "fisher_table.hpp"
#include "../tally.hpp"

namespace {

using namespace corrshift;

constexpr int VL = CORRSHIFT_VECTOR_BYTES / 4;  // float lanes
constexpr int VD = VL / 2;                      // double lanes
constexpr int R = CORRSHIFT_TILE_ROWS;
constexpr int C = CORRSHIFT_TILE_VECTORS;
constexpr int W = C * VL;  // rows j of a tile = rows of a panel block

typedef float vf __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));
typedef int32_t vi __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));
typedef double vd __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));
typedef int64_t vl __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES)));
typedef float vfh __attribute__((vector_size(CORRSHIFT_VECTOR_BYTES / 2)));

inline int32_t imin(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t imax(int32_t a, int32_t b) { return a < b ? b : a; }

inline vf load(const float* p) {
    vf v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(float* p, vf v) { std::memcpy(p, &v, sizeof v); }
template <int... I>
inline vf splat_lanes(float x, std::integer_sequence<int, I...>) {
    return vf{((void)I, x)...};
}
inline vf splat(float x) { return splat_lanes(x, std::make_integer_sequence<int, VL>{}); }

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

inline vf vabs(vf v) { return (vf)((vi)v & 0x7fffffff); }

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

template <class S>
inline vf correlation_vec(vf sxy, float count, const lane_moments& m) {
    const vf cov = sxy / count - m.mean_j * m.mean_i;
    const vf q = m.var_j * m.var_i;
    const vf r = cov / CORRSHIFT_VSQRT(q);
    if constexpr (S::sound) {
        // Not yet capped to [-1, 1]: the Fisher transform's bound (clamp_vec)
        // caps it further, and reported_vec caps what is written.
        const vi undefined = ~(vi)(m.var_i > 0.0f) | ~(vi)(m.var_j > 0.0f);
        return undefined ? splat(__builtin_nanf("")) : r;
    } else {
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

// Results of one row of a tile (or of one vector of gathered pairs).
struct lane_results {
    float r1[W], r2[W], d[W];
};

// ---------------------------------------------------------------------------
// Writing the results of consecutive pair positions.

// The tanh of an observed difference that the tally compares with. Sound
// rules: an undefined observed difference is never exceeded, so it is
// placed beyond every permuted value, where no lane is unsure.
template <class S>
inline float observed_tanh(float d, tail alternative) {
    if constexpr (S::sound)
        if (d != d) return alternative == tail::less ? -kFar : kFar;
    return tanh_of_difference(d);
}

template <class S>
void emit_run(const pair_job& job, int32_t pos, const lane_results& res, int lo, int len) {
    if (len <= 0) return;
    const auto bytes = static_cast<size_t>(len) * sizeof(float);
    if (job.corr1 != nullptr) std::memcpy(job.corr1 + pos, res.r1 + lo, bytes);
    if (job.corr2 != nullptr) std::memcpy(job.corr2 + pos, res.r2 + lo, bytes);
    if (job.z_diff != nullptr) std::memcpy(job.z_diff + pos, res.d + lo, bytes);
    if (job.p_normal != nullptr)
        for (int l = 0; l < len; ++l) job.p_normal[pos + l] = normal_pvalue(job.alternative, res.d[lo + l], job.se);
    if (job.z_tanh != nullptr && job.z_observed == nullptr)
        for (int l = 0; l < len; ++l) job.z_tanh[pos + l] = observed_tanh<S>(res.d[lo + l], job.alternative);
    if (job.counts != nullptr) {
        if (job.z_observed == nullptr)
            std::memset(job.counts + pos, 0, static_cast<size_t>(len) * sizeof(uint32_t));
        else
            tally_extremes(job.alternative, job.z_observed + pos, res.d + lo, job.counts + pos, len);
    }
    if constexpr (S::sound) {
        if (job.undefined != nullptr) {
            if (job.z_observed == nullptr)
                std::memset(job.undefined + pos, 0, static_cast<size_t>(len) * sizeof(uint32_t));
            else
                tally_undefined(res.d + lo, job.undefined + pos, len);
        }
    }
}

// ---------------------------------------------------------------------------
// Register-tiled sums: R rows i (broadcast) against the W rows j of one panel
// block; each lane is the sequential sum over the samples of one pair.

// Block b of a group's panel: n samples of W rows, sample-major.
inline float* block_in_panel(const group_panel& g, int32_t block) {
    return g.panel + static_cast<int64_t>(block) * g.n * W;
}

// A row's first sample in its block; its next samples lie W floats apart.
inline float* row_in_panel(const group_panel& g, int32_t row) { return block_in_panel(g, row / W) + row % W; }

void tile_sums(const float* const* x, const float* y, int32_t n, float (*out)[W]) {
    vf acc[R][C];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (int c = 0; c < C; ++c) acc[r][c] = vf{};
    const float* xr[R];
    for (int r = 0; r < R; ++r) xr[r] = x[r];
    for (int32_t s = 0; s < n; ++s) {
        vf yv[C];
#pragma GCC unroll 16
        for (int c = 0; c < C; ++c) yv[c] = load(y + static_cast<int64_t>(s) * W + c * VL);
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
            const vf xb = splat(xr[r][static_cast<int64_t>(s) * W]);
#pragma GCC unroll 16
            for (int c = 0; c < C; ++c) acc[r][c] = acc[r][c] + xb * yv[c];
        }
    }
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (int c = 0; c < C; ++c) store(out[r] + c * VL, acc[r][c]);
}

// A stretch of consecutive pair positions with one first row and
// consecutive second rows: positions pos + (j - lo) hold pairs (first, j),
// j in [lo, hi).
struct segment {
    int32_t first, lo, hi, pos;
};

// The positions [begin, end) of a job as segments, in position order.
struct segment_source {
    const pair_job* job;
    int32_t k, end;
    int32_t i, j;  // condensed order: the pair at position k
    int32_t next_start;  // listed pairs: index of the stretch after the one holding k

    segment_source(const pair_job& jb, int32_t begin, int32_t stop)
        : job(&jb), k(begin), end(stop), i(0), j(0), next_start(0) {
        if (begin >= stop) return;
        if (jb.pair_first == nullptr) {
            const feature_pair p = decode_pair(begin, jb.features);
            i = p.first;
            j = p.second;
        } else {
            const int32_t* starts = jb.segment_starts;
            next_start = static_cast<int32_t>(std::upper_bound(starts, starts + jb.segments, begin) - starts);
        }
    }

    bool next(segment& s) {
        if (k >= end) return false;
        if (job->pair_first == nullptr) {
            const int32_t len = imin(job->features - j, end - k);
            s = {i, j, j + len, k};
            k += len;
            j += len;
            if (j >= job->features) {
                ++i;
                j = i + 1;
            }
        } else {
            // A worker's range may begin inside a stretch: its pairs from k on.
            const int32_t len = imin(job->segment_starts[next_start], end) - k;
            const int32_t lo = job->pair_second[k];
            s = {job->pair_first[k], lo, lo + len, k};
            k += len;
            ++next_start;
        }
        return true;
    }
};

// Up to R segments computed together, tile by tile, over the union of their
// second rows.
struct band {
    segment seg[R];
    int count = 0;
    int32_t lo = 0, hi = 0, shortest = 0;

    // A segment joins when the band's tiles stay mostly inside its pairs.
    bool accepts(const segment& s) const {
        if (count == 0) return true;
        if (count == R) return false;
        const int32_t nlo = imin(lo, s.lo), nhi = imax(hi, s.hi);
        const int32_t shortest_len = imin(shortest, s.hi - s.lo);
        return (nhi - nlo) <= shortest_len + shortest_len / 2 + W;
    }
    void add(const segment& s) {
        if (count == 0) {
            lo = s.lo;
            hi = s.hi;
            shortest = s.hi - s.lo;
        } else {
            lo = imin(lo, s.lo);
            hi = imax(hi, s.hi);
            shortest = imin(shortest, s.hi - s.lo);
        }
        seg[count++] = s;
    }
};

inline lane_moments row_moments(const group_panel& g, int32_t i, int32_t j0, int c) {
    return {splat(g.mean[i]), splat(g.var[i]), load(g.mean + j0 + c * VL), load(g.var + j0 + c * VL)};
}

// A permutation cycle of the z-test: nothing written but the counts.
inline bool tallies_only(const pair_job& job) {
    return job.z_observed != nullptr && job.z_tanh != nullptr && job.z_diff == nullptr && job.corr1 == nullptr &&
           job.corr2 == nullptr && job.p_normal == nullptr && job.alternative != tail::unknown;
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
inline void tally_row(const pair_job& job, const float* sums1, const float* sums2, float count1, float count2,
                      int32_t first, int32_t j0, int32_t at, const double* table) {
    vf c1[C], c2[C];
    vi hit[C], unsure[C];
    vi any = vi{};
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) {
        c1[c] = clamp_vec<S>(correlation_vec<S>(load(sums1 + c * VL), count1, row_moments(job.g1, first, j0, c)));
        c2[c] = clamp_vec<S>(correlation_vec<S>(load(sums2 + c * VL), count2, row_moments(job.g2, first, j0, c)));
        const vf q = tanh_difference(c1[c], c2[c]);
        const vf t = load(job.z_tanh + at + c * VL);
        unsure[c] = unsure_lanes(q, t, job.alternative) | beyond_clamp<S>(c1[c], c2[c]);
        hit[c] = extreme_lanes(q, t, job.alternative);
        any |= unsure[c];
    }
    if (CORRSHIFT_ANY_LANE(any)) {
        for (int c = 0; c < C; ++c) {
            if (!CORRSHIFT_ANY_LANE(unsure[c])) continue;
            hit[c] = extreme_lanes(exact_differences(c1[c], c2[c], table), load(job.z_observed + at + c * VL),
                                   job.alternative);
            // An undefined difference makes q NaN, so its lane is always
            // unsure: the undefined ones are counted here only.
            if constexpr (S::sound) {
                const vi undefined = undefined_lanes(c1[c], c2[c]);
                if (CORRSHIFT_ANY_LANE(undefined)) subtract_lanes(job.undefined + at + c * VL, undefined);
            }
        }
    }
#pragma GCC unroll 16
    for (int c = 0; c < C; ++c) subtract_lanes(job.counts + at + c * VL, hit[c]);
}

// Tallies the VL pairs of one vector whose lane l holds pair position
// at + l, of which the lanes [from, to) belong to the segment.
template <class S>
inline void tally_vector(const pair_job& job, vf r1, vf r2, int32_t at, int from, int to, const double* table) {
    const vf c1 = clamp_vec<S>(r1), c2 = clamp_vec<S>(r2);
    const vf q = tanh_difference(c1, c2);
    vf t = splat(kFar);  // lanes outside the segment are never unsure
    for (int l = from; l < to; ++l) t[l] = job.z_tanh[at + l];
    vi hit = extreme_lanes(q, t, job.alternative);
    vi outside = vi{};
    for (int l = 0; l < VL; ++l) outside[l] = l < from || l >= to ? -1 : 0;
    if (CORRSHIFT_ANY_LANE(unsure_lanes(q, t, job.alternative) | (beyond_clamp<S>(c1, c2) & ~outside))) {
        vf observed = splat(kFar);
        for (int l = from; l < to; ++l) observed[l] = job.z_observed[at + l];
        hit = extreme_lanes(exact_differences(c1, c2, table), observed, job.alternative);
    }
    for (int l = from; l < to; ++l) job.counts[at + l] -= static_cast<uint32_t>(hit[l]);
    if constexpr (S::sound) {
        const vi undefined = undefined_lanes(c1, c2);
        for (int l = from; l < to; ++l) job.undefined[at + l] -= static_cast<uint32_t>(undefined[l]);
    }
}

void tally_block(const float* c1, const float* c2, const float* observed, tail alternative, uint32_t* counts,
                 uint32_t* undefined, int64_t n, statistics rules) {
    const double* table = fisher_table();
    float t[VL];
    pair_job job{};
    job.alternative = alternative;
    for (int64_t k = 0; k < n; k += VL) {
        const int len = static_cast<int>(n - k < VL ? n - k : VL);
        vf a = vf{}, b = vf{};
        for (int l = 0; l < len; ++l) {
            a[l] = c1[k + l];
            b[l] = c2[k + l];
            t[l] = rules == statistics::sound ? observed_tanh<sound_rules>(observed[k + l], alternative)
                                              : observed_tanh<classic_rules>(observed[k + l], alternative);
        }
        job.z_observed = observed + k;
        job.z_tanh = t;
        job.counts = counts + k;
        job.undefined = undefined != nullptr ? undefined + k : nullptr;
        with_rules(rules, [&](auto r) { tally_vector<decltype(r)>(job, a, b, 0, 0, len, table); });
    }
}

// ---------------------------------------------------------------------------
// Per-feature median counts (see pair_job): decided in tanh space as the
// z-test tally is, with the exact transform for unsure lanes.

inline vf median_key(vf v, const pair_job& job) { return job.median_magnitude ? vabs(v) : v; }

inline vi median_hit(vf key, vf threshold, const pair_job& job) {
    return job.median_not_above ? (vi)(key <= threshold) : (vi)(key < threshold);
}

template <int... I>
inline vi lane_numbers(std::integer_sequence<int, I...>) {
    return vi{I...};
}

// Lanes [from, to) of one vector: pairs (i, first_lane + l) whose unit is
// u (the run, or the first feature i). Adds the counts of unit u to hits_u /
// numbers_u (lane sums taken later) and, for per-feature units, those of
// features first_lane + l to the worker's arrays.
template <class S>
inline void count_vector(const pair_job& job, vf r1, vf r2, int32_t u, int32_t first_lane, int from, int to,
                         const double* table, vi& hits_u, vi& numbers_u) {
    const bool features = job.median_run_start == nullptr;
    const vi lane = lane_numbers(std::make_integer_sequence<int, VL>{});
    const vi in_range = (lane >= from) & (lane < to);
    const vf c1 = clamp_vec<S>(r1), c2 = clamp_vec<S>(r2);
    const vf q = tanh_difference(c1, c2);
    const vf key = median_key(q, job);
    const vf tu = splat(job.median_tanh[u]);
    const vf tj = features ? load(job.median_tanh + first_lane) : splat(kFar);
    vi hit_u = median_hit(key, tu, job), hit_j = median_hit(key, tj, job);
    const vi unsure = (within_margin(key, tu) | within_margin(key, tj) | beyond_clamp<S>(c1, c2)) & in_range;
    if (CORRSHIFT_ANY_LANE(unsure)) {
        const vf exact = median_key(exact_differences(c1, c2, table), job);
        hit_u = median_hit(exact, splat(job.median_threshold[u]), job);
        if (features) hit_j = median_hit(exact, load(job.median_threshold + first_lane), job);
    }
    const vi number = (vi)(q == q) & in_range;
    hits_u -= hit_u & in_range;
    numbers_u -= number;
    if (!features) return;
    vi h, n;
    std::memcpy(&h, job.median_hits + first_lane, sizeof h);
    std::memcpy(&n, job.median_numbers + first_lane, sizeof n);
    h -= hit_j & in_range;
    n -= number;
    std::memcpy(job.median_hits + first_lane, &h, sizeof h);
    std::memcpy(job.median_numbers + first_lane, &n, sizeof n);
}

// The unit of the pair at position pos with first row `first`: the run
// holding pos (-1 for a position in no run), or the first feature.
inline int32_t median_unit(const pair_job& job, int32_t first, int32_t pos) {
    if (job.median_run_start == nullptr) return first;
    const int32_t* starts = job.median_run_start;
    const auto g = static_cast<int32_t>(std::upper_bound(starts, starts + job.median_runs, pos) - starts) - 1;
    return g >= 0 && pos < job.median_run_stop[g] ? g : -1;
}

inline uint32_t lane_sum(vi v) {
    uint32_t sum = 0;
    for (int l = 0; l < VL; ++l) sum += static_cast<uint32_t>(v[l]);
    return sum;
}

// Asks for the cache line holding p.
inline void prefetch(const void* p) { CORRSHIFT_PREFETCH(p); }

// Asks for the observed tanh values and counts of the band's pairs with
// second rows in [lo, hi) one tile ahead of their use: each segment's
// positions are a short stretch far from the others', which the hardware
// prefetchers do not foresee, and a tile's sums give the loads time to
// arrive.
inline void prefetch_tallies(const pair_job& job, const band& b, int32_t lo, int32_t hi) {
    constexpr int32_t kLine = 64 / sizeof(float);
    for (int r = 0; r < b.count; ++r) {
        const segment& sg = b.seg[r];
        const int32_t from = imax(sg.lo, lo), to = imin(sg.hi, hi);
        for (int32_t j = from; j < to; j += kLine) {
            prefetch(job.z_tanh + sg.pos + (j - sg.lo));
            prefetch(job.counts + sg.pos + (j - sg.lo));
        }
        if (from < to) {
            prefetch(job.z_tanh + sg.pos + (to - 1 - sg.lo));
            prefetch(job.counts + sg.pos + (to - 1 - sg.lo));
        }
    }
}

// The band's pairs whose second row lies in [jlo, jhi).
template <class S>
void run_band(const pair_job& job, const band& b, int32_t jlo, int32_t jhi) {
    const int32_t lo = imax(b.lo, jlo), hi = imin(b.hi, jhi);
    if (lo >= hi) return;
    const float* x1[R];
    const float* x2[R];
    for (int r = 0; r < R; ++r) {
        const int32_t row = b.seg[r < b.count ? r : 0].first;
        x1[r] = row_in_panel(job.g1, row);
        x2[r] = row_in_panel(job.g2, row);
    }
    const float c1 = static_cast<float>(job.g1.n), c2 = static_cast<float>(job.g2.n);
    const double* table = fisher_table();
    const bool tally_only = tallies_only(job);
    if (tally_only) prefetch_tallies(job, b, lo, imin(hi, (lo / W + 1) * W));
    alignas(64) float s1[R][W];
    alignas(64) float s2[R][W];
    lane_results res;
    for (int32_t block = lo / W; block * W < hi; ++block) {
        const int32_t j0 = block * W;
        if (tally_only) prefetch_tallies(job, b, imax(lo, j0 + W), imin(hi, j0 + 2 * W));
        tile_sums(x1, block_in_panel(job.g1, block), job.g1.n, s1);
        tile_sums(x2, block_in_panel(job.g2, block), job.g2.n, s2);
        for (int r = 0; r < b.count; ++r) {
            const segment& sg = b.seg[r];
            const int32_t from = imax(sg.lo, j0), to = imin(sg.hi, j0 + W);
            if (from >= to) continue;
            if (tally_only && from == j0 && to == j0 + W) {
                tally_row<S>(job, s1[r], s2[r], c1, c2, sg.first, j0, sg.pos + (j0 - sg.lo), table);
                continue;
            }
            const bool counting = job.median_hits != nullptr;
            const int32_t u = counting ? median_unit(job, sg.first, sg.pos) : 0;
            if (u < 0) continue;
            vi hits_u = vi{}, numbers_u = vi{};
            for (int c = 0; c < C; ++c) {
                // Second rows j0 + c * VL + l of the vector's lanes; only
                // those in [from, to) are pairs of the segment.
                const int32_t first_lane = j0 + c * VL;
                if (first_lane >= to || first_lane + VL <= from) continue;
                const vf r1 = correlation_vec<S>(load(s1[r] + c * VL), c1, row_moments(job.g1, sg.first, j0, c));
                const vf r2 = correlation_vec<S>(load(s2[r] + c * VL), c2, row_moments(job.g2, sg.first, j0, c));
                const int lane_from = imax(from - first_lane, 0), lane_to = imin(to - first_lane, VL);
                if (counting) {
                    count_vector<S>(job, r1, r2, u, first_lane, lane_from, lane_to, table, hits_u, numbers_u);
                } else if (tally_only) {
                    tally_vector<S>(job, r1, r2, sg.pos + (first_lane - sg.lo), lane_from, lane_to, table);
                } else {
                    store(res.r1 + c * VL, reported_vec<S>(r1));
                    store(res.r2 + c * VL, reported_vec<S>(r2));
                    store(res.d + c * VL, exact_differences(clamp_vec<S>(r1), clamp_vec<S>(r2), table));
                }
            }
            if (counting) {
                job.median_hits[u] += lane_sum(hits_u);
                job.median_numbers[u] += lane_sum(numbers_u);
            } else if (!tally_only) {
                emit_run<S>(job, sg.pos + (from - sg.lo), res, from - j0, to - from);
            }
        }
    }
}

// Pairs that share no tile: VL arbitrary pairs per vector, their values
// gathered sample by sample.
struct pair_batch {
    int32_t pos[VL], first[VL], second[VL];
    int count = 0;
};

inline vf gathered_sums(const group_panel& g, const pair_batch& pb) {
    const float* xp[VL];
    const float* yp[VL];
    for (int l = 0; l < VL; ++l) {
        const int m = l < pb.count ? l : 0;
        xp[l] = row_in_panel(g, pb.first[m]);
        yp[l] = row_in_panel(g, pb.second[m]);
    }
    vf acc = vf{};
    for (int32_t s = 0; s < g.n; ++s) {
        vf xv, yv;
        const int64_t at = static_cast<int64_t>(s) * W;
        for (int l = 0; l < VL; ++l) {
            xv[l] = xp[l][at];
            yv[l] = yp[l][at];
        }
        acc = acc + xv * yv;
    }
    return acc;
}

inline lane_moments gathered_moments(const group_panel& g, const pair_batch& pb) {
    lane_moments m;
    for (int l = 0; l < VL; ++l) {
        const int k = l < pb.count ? l : 0;
        m.mean_i[l] = g.mean[pb.first[k]];
        m.var_i[l] = g.var[pb.first[k]];
        m.mean_j[l] = g.mean[pb.second[k]];
        m.var_j[l] = g.var[pb.second[k]];
    }
    return m;
}

template <class S>
void run_batch(const pair_job& job, pair_batch& pb) {
    if (pb.count == 0) return;
    const vf r1 = correlation_vec<S>(gathered_sums(job.g1, pb), static_cast<float>(job.g1.n), gathered_moments(job.g1, pb));
    const vf r2 = correlation_vec<S>(gathered_sums(job.g2, pb), static_cast<float>(job.g2.n), gathered_moments(job.g2, pb));
    lane_results res;
    store(res.r1, reported_vec<S>(r1));
    store(res.r2, reported_vec<S>(r2));
    store(res.d, exact_differences(clamp_vec<S>(r1), clamp_vec<S>(r2), fisher_table()));
    if (job.median_hits != nullptr) {
        // Pairs of short stretches: decided from the exact differences.
        const bool features = job.median_run_start == nullptr;
        for (int l = 0; l < pb.count; ++l) {
            const float key = job.median_magnitude ? std::fabs(res.d[l]) : res.d[l];
            const int32_t u = median_unit(job, pb.first[l], pb.pos[l]);
            for (const int32_t f : {u, features ? pb.second[l] : -1}) {
                if (f < 0) continue;
                const float t = job.median_threshold[f];
                job.median_hits[f] += job.median_not_above ? key <= t : key < t;
                job.median_numbers[f] += res.d[l] == res.d[l];
            }
        }
        pb.count = 0;
        return;
    }
    // Consecutive positions are written together.
    int l = 0;
    while (l < pb.count) {
        int len = 1;
        while (l + len < pb.count && pb.pos[l + len] == pb.pos[l] + len) ++len;
        emit_run<S>(job, pb.pos[l], res, l, len);
        l += len;
    }
    pb.count = 0;
}

template <class S>
void add_to_batch(const pair_job& job, pair_batch& pb, const segment& s) {
    for (int32_t j = s.lo; j < s.hi; ++j) {
        pb.pos[pb.count] = s.pos + (j - s.lo);
        pb.first[pb.count] = s.first;
        pb.second[pb.count] = j;
        if (++pb.count == VL) run_batch<S>(job, pb);
    }
}

template <class S>
void pair_range(const pair_job& job, int32_t begin, int32_t end) {
    if (begin >= end) return;
    // Second rows are taken in stretches whose panels of both groups stay
    // in the core's cache while every band of the range passes over them.
    const int32_t rows = job.features;
    const int32_t stretch = imax(W, job.l2_rows / W * W);
    for (int32_t jlo = 0; jlo == 0 || jlo < rows; jlo += stretch) {
        const int32_t jhi = jlo + stretch;
        const bool first_pass = jlo == 0;
        segment_source src(job, begin, end);
        band b;
        pair_batch pb;
        segment s;
        while (src.next(s)) {
            if (s.hi - s.lo < VL) {
                if (first_pass) add_to_batch<S>(job, pb, s);
                continue;
            }
            if (!b.accepts(s)) {
                run_band<S>(job, b, jlo, jhi);
                b = band();
            }
            b.add(s);
        }
        if (b.count > 0) run_band<S>(job, b, jlo, jhi);
        if (first_pass) run_batch<S>(job, pb);
    }
}

// ---------------------------------------------------------------------------
// Ranks of a row without ties: rank of k = how many values are below it.

bool distinct_ranks(const float* values, int32_t m, int32_t* ranks, uint8_t* seen) {
    if (m <= 0) return true;
    for (int32_t k0 = 0; k0 < m; k0 += VL) {
        vf vk;
        for (int l = 0; l < VL; ++l) vk[l] = values[k0 + l < m ? k0 + l : k0];
        vi below = vi{};
        for (int32_t l = 0; l < m; ++l) below -= (vi)(splat(values[l]) < vk);
        for (int l = 0; l < VL && k0 + l < m; ++l) ranks[k0 + l] = below[l];
    }
    // Without ties and NaN the counts are a permutation of 0 .. m-1.
    std::memset(seen, 0, static_cast<size_t>(m));
    for (int32_t k = 0; k < m; ++k) {
        const int32_t r = ranks[k];
        if (r < 0 || r >= m || seen[r]) return false;
        seen[r] = 1;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Row preparation: values (or ranks) of each group's columns packed into
// the panels, with each row's mean and variance.

constexpr int32_t kCountingRanksMax = 512;

template <class S>
void rank_group(const float* row, const int32_t* columns, int32_t m, const prepare_scratch& sc, float* rank_row) {
    if (m <= 0) return;
    for (int32_t k = 0; k < m; ++k) sc.values[k] = row[columns[k]];
    const bool distinct = m <= kCountingRanksMax ? distinct_ranks(sc.values, m, sc.ranks, sc.seen)
                                                 : sorted_distinct_ranks(sc.values, m, sc.ranks, sc.keys);
    if (distinct) {
        for (int32_t k = 0; k < m; ++k) rank_row[columns[k]] = static_cast<float>(sc.ranks[k]);
    } else if constexpr (S::sound) {
        rank_row_average(row, rank_row, columns, m, sc.order);
    } else {
        rank_row_by_index_sort(row, rank_row, columns, m, sc.order);
    }
}

void pack_row(const float* src, const int32_t* columns, const group_panel& g, int32_t row) {
    float* out = row_in_panel(g, row);
    for (int32_t s = 0; s < g.n; ++s) out[static_cast<int64_t>(s) * W] = src[columns[s]];
}

void pad_row(const group_panel& g, int32_t row) {
    float* out = row_in_panel(g, row);
    for (int32_t s = 0; s < g.n; ++s) out[static_cast<int64_t>(s) * W] = 0.0f;
}

// Mean and variance of every row of a packed block, VL rows per vector:
// each lane sums its row's values in sample order, as a scalar loop would.
// Padding rows hold zeros and get mean 0 and variance 0.
void block_moments(const group_panel& g, int32_t block) {
    const float* panel = block_in_panel(g, block);
    const float count = static_cast<float>(g.n);
    for (int c = 0; c < C; ++c) {
        vf sx = vf{}, sxx = vf{};
        for (int32_t s = 0; s < g.n; ++s) {
            const vf v = load(panel + static_cast<int64_t>(s) * W + c * VL);
            sx = sx + v;
            sxx = sxx + v * v;
        }
        const vf mean = sx / count;
        store(g.mean + block * W + c * VL, mean);
        store(g.var + block * W + c * VL, sxx / count - mean * mean);
    }
}

// The data row kRowsAhead rows on is asked for while a row is packed (its
// first kPrefetchRowBytes bytes): the matrix is read once per cycle, so its
// rows come from beyond the core's caches.
constexpr int32_t kRowsAhead = 2;
constexpr int64_t kPrefetchRowBytes = 16384;

inline void prefetch_row(const float* row, int32_t samples) {
    const int64_t bytes = static_cast<int64_t>(samples) * 4;
    const char* p = reinterpret_cast<const char*>(row);
    for (int64_t b = 0; b < bytes && b < kPrefetchRowBytes; b += 64) prefetch(p + b);
}

// Ranks of a row without ties into rank_row: walking the row's samples in
// ascending order, a member of a group gets the count of its group's
// members met before it, which is its rank in the group (other columns get
// values no one reads). Branch-free: membership is random from cycle to
// cycle.
void ranks_from_order(const prepare_job& job, int32_t row, float* rank_row) {
    const int32_t* order = job.order + static_cast<int64_t>(row) * job.samples;
    int32_t seen1 = 0, seen2 = 0;
    for (int32_t p = 0; p < job.samples; ++p) {
        const int32_t s = order[p];
        const int32_t in1 = job.member[s] == 1, in2 = job.member[s] == 2;
        rank_row[s] = static_cast<float>(seen2 + ((seen1 - seen2) & -in1));  // in1 ? seen1 : seen2
        seen1 += in1;
        seen2 += in2;
    }
}

template <class S>
void prepare_blocks(const prepare_job& job, int32_t worker, int32_t begin, int32_t end) {
    const prepare_scratch& sc = job.scratch[worker];
    for (int32_t block = begin; block < end; ++block) {
        for (int32_t row = block * W; row < (block + 1) * W; ++row) {
            if (row >= job.features) {
                pad_row(job.g1, row);
                pad_row(job.g2, row);
                continue;
            }
            const float* src = job.data + static_cast<int64_t>(row) * job.samples;
            if (row + kRowsAhead < job.features)
                prefetch_row(src + kRowsAhead * static_cast<int64_t>(job.samples), job.samples);
            if (job.order != nullptr && job.disjoint && job.distinct[row]) {
                ranks_from_order(job, row, sc.rank_row);
                src = sc.rank_row;
            } else if (job.spearman) {
                // Group 2's ranks are written after group 1's, as into a
                // shared rank matrix: a column in both groups keeps group 2's.
                rank_group<S>(src, job.group1, job.g1.n, sc, sc.rank_row);
                rank_group<S>(src, job.group2, job.g2.n, sc, sc.rank_row);
                src = sc.rank_row;
            }
            pack_row(src, job.group1, job.g1, row);
            pack_row(src, job.group2, job.g2, row);
        }
        block_moments(job.g1, block);
        block_moments(job.g2, block);
    }
}

const kernel_table kTable = {CORRSHIFT_KERNELS_NAME,
                             W,
                             {prepare_blocks<classic_rules>, pair_range<classic_rules>},
                             {prepare_blocks<sound_rules>, pair_range<sound_rules>},
                             fisher_block,
                             tally_block,
                             distinct_ranks};

}  // namespace
