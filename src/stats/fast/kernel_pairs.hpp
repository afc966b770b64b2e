// The pair phase of the fast kernels (see kernels_impl.hpp): register
// tiles of sums, the segments of consecutive pairs a range of positions
// holds, bands of segments computed tile by tile, batches of gathered
// pairs from short stretches, and the entry point of each mode.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "../correlation.hpp"
#include "../rules.hpp"
#include "../tally.hpp"
#include "../ztest.hpp"
#include "fisher_table.hpp"
#include "jobs.hpp"
#include "kernel_fisher.hpp"
#include "kernel_normal.hpp"
#include "kernel_refine.hpp"
#include "kernel_tally.hpp"
#include "kernel_vectors.hpp"

namespace {

using namespace corrshift;

// Results of one row of a tile (or of one vector of gathered pairs).
struct lane_results {
    float r1[W], r2[W], d[W];
};

// ---------------------------------------------------------------------------
// The modes of the pair kernel, told apart at compile time by their output
// struct (jobs.hpp): each computes the same correlations and differences,
// and does its own thing with them.

template <class M>
constexpr bool writes_mode = std::is_same_v<M, pair_writes>;
template <class M>
constexpr bool tally_mode = std::is_same_v<M, pair_tally>;
template <class M>
constexpr bool median_mode = std::is_same_v<M, median_counts>;

// The results of consecutive pair positions written out.
template <class S>
void emit_run(const pair_writes& out, int32_t pos, const lane_results& res, int lo, int len) {
    if (len <= 0) return;
    const auto bytes = static_cast<size_t>(len) * sizeof(float);
    if (out.corr1 != nullptr) std::memcpy(out.corr1 + pos, res.r1 + lo, bytes);
    if (out.corr2 != nullptr) std::memcpy(out.corr2 + pos, res.r2 + lo, bytes);
    if (out.z_diff != nullptr) std::memcpy(out.z_diff + pos, res.d + lo, bytes);
    if (out.p_normal != nullptr) normal_pvalues<S>(out.alternative, res.d + lo, out.se, out.p_normal + pos, len);
    if (out.z_tanh != nullptr) observed_tanhs<S>(out.alternative, res.d + lo, out.z_tanh + pos, len);
    if (out.counts != nullptr) std::memset(out.counts + pos, 0, static_cast<size_t>(len) * sizeof(uint32_t));
    if constexpr (S::sound)
        if (out.undefined != nullptr)
            std::memset(out.undefined + pos, 0, static_cast<size_t>(len) * sizeof(uint32_t));
}

// The exact differences of consecutive pair positions tallied.
template <class S>
void emit_run(const pair_tally& out, int32_t pos, const lane_results& res, int lo, int len) {
    if (len <= 0) return;
    tally_extremes(out.alternative, out.z_observed + pos, res.d + lo, out.counts + pos, len);
    if constexpr (S::sound)
        if (out.undefined != nullptr) tally_undefined(res.d + lo, out.undefined + pos, len);
}

// ---------------------------------------------------------------------------
// Register-tiled sums: R rows i (broadcast) against the W rows j of one panel
// block; each lane is the sequential sum over the samples of one pair.

// Vectors [c0, c0 + N) of a tile only: out[r] + c * VL for those c.
template <int N>
void tile_sums(const float* const* x, const float* y, int32_t n, float (*out)[W], int c0) {
    vf acc[R][N];
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (int c = 0; c < N; ++c) acc[r][c] = vf{};
    const float* xr[R];
    for (int r = 0; r < R; ++r) xr[r] = x[r];
    const float* yc = y + c0 * VL;
    for (int32_t s = 0; s < n; ++s) {
        vf yv[N];
#pragma GCC unroll 16
        for (int c = 0; c < N; ++c) yv[c] = load(yc + static_cast<int64_t>(s) * W + c * VL);
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) {
#ifdef CORRSHIFT_MUL_BROADCAST
            const float* xs = xr[r] + static_cast<int64_t>(s) * W;
#pragma GCC unroll 16
            for (int c = 0; c < N; ++c) acc[r][c] = acc[r][c] + CORRSHIFT_MUL_BROADCAST(yv[c], xs);
#else
            const vf xb = splat(xr[r][static_cast<int64_t>(s) * W]);
#pragma GCC unroll 16
            for (int c = 0; c < N; ++c) acc[r][c] = acc[r][c] + xb * yv[c];
#endif
        }
    }
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r)
#pragma GCC unroll 16
        for (int c = 0; c < N; ++c) store(out[r] + (c0 + c) * VL, acc[r][c]);
}

template <int... I>
constexpr auto tile_sums_by_width(std::integer_sequence<int, I...>) {
    using sums = void (*)(const float* const*, const float*, int32_t, float (*)[W], int);
    return std::array<sums, sizeof...(I)>{&tile_sums<I + 1>...};
}

// The sums of the tile's vectors [c0, c1) (each lane's sum is the same
// whichever vectors are computed beside it): a tile at the edge of the
// pairs computes only the vectors that hold some of them.
inline void tile_sums(const float* const* x, const float* y, int32_t n, float (*out)[W], int c0, int c1) {
    static constexpr auto by_width = tile_sums_by_width(std::make_integer_sequence<int, C>{});
    by_width[static_cast<size_t>(c1 - c0 - 1)](x, y, n, out, c0);
}

// A stretch of consecutive pair positions with one first row and
// consecutive second rows: positions pos + (j - lo) hold pairs (first, j),
// j in [lo, hi).
struct segment {
    int32_t first, lo, hi, pos;
};

// The positions [begin, end) of a job as segments, in position order: of
// the condensed order or the rectangle a row at a time, of listed pairs a
// stretch at a time.
struct segment_source {
    const pair_job* job;
    int32_t k, end;
    int32_t i, j;  // condensed order: the pair at position k
    int32_t next_start;  // listed pairs: index of the stretch after the one holding k

    segment_source(const pair_job& jb, int32_t begin, int32_t stop)
        : job(&jb), k(begin), end(stop), i(0), j(0), next_start(0) {
        if (begin >= stop) return;
        if (jb.pair_first == nullptr && jb.between > 0) {
            const int32_t width = jb.features - jb.between;
            i = begin / width;
            j = jb.between + begin % width;
        } else if (jb.pair_first == nullptr) {
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
                // The next row's pairs: with every row of the second set
                // (rectangle), or with the rows after it.
                j = job->between > 0 ? job->between : i + 1;
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


// Asks for the observed tanh values and counts of the band's pairs with
// second rows in [lo, hi) one tile ahead of their use: each segment's
// positions are a short stretch far from the others', which the hardware
// prefetchers do not foresee, and a tile's sums give the loads time to
// arrive.
inline void prefetch_tallies(const pair_tally& out, const band& b, int32_t lo, int32_t hi) {
    constexpr int32_t kLine = 64 / sizeof(float);
    for (int r = 0; r < b.count; ++r) {
        const segment& sg = b.seg[r];
        const int32_t from = imax(sg.lo, lo), to = imin(sg.hi, hi);
        for (int32_t j = from; j < to; j += kLine) {
            prefetch(out.z_tanh + sg.pos + (j - sg.lo));
            prefetch(out.counts + sg.pos + (j - sg.lo));
        }
        if (from < to) {
            prefetch(out.z_tanh + sg.pos + (to - 1 - sg.lo));
            prefetch(out.counts + sg.pos + (to - 1 - sg.lo));
        }
    }
}

// The band's pairs whose second row lies in [jlo, jhi).
template <class S, class M>
void run_band(const pair_job& job, const M& out, const band& b, int32_t jlo, int32_t jhi) {
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
    if constexpr (tally_mode<M>) prefetch_tallies(out, b, lo, imin(hi, (lo / W + 1) * W));
    alignas(64) float s1[R][W];
    alignas(64) float s2[R][W];
    lane_results res;
    for (int32_t block = lo / W; block * W < hi; ++block) {
        const int32_t j0 = block * W;
        if constexpr (tally_mode<M>) prefetch_tallies(out, b, imax(lo, j0 + W), imin(hi, j0 + 2 * W));
        // The vectors of the block that hold pairs of the band.
        const int v0 = (imax(lo, j0) - j0) / VL, v1 = (imin(hi, j0 + W) - j0 + VL - 1) / VL;
        tile_sums(x1, block_in_panel(job.g1, block), job.g1.n, s1, v0, v1);
        tile_sums(x2, block_in_panel(job.g2, block), job.g2.n, s2, v0, v1);
        for (int r = 0; r < b.count; ++r) {
            const segment& sg = b.seg[r];
            const int32_t from = imax(sg.lo, j0), to = imin(sg.hi, j0 + W);
            if (from >= to) continue;
            if constexpr (tally_mode<M>) {
                if (from == j0 && to == j0 + W) {
                    tally_row<S>(job, out, s1[r], s2[r], c1, c2, sg.first, j0, sg.pos + (j0 - sg.lo), table);
                    continue;
                }
            }
            int32_t u = 0;
            if constexpr (median_mode<M>) {
                u = median_unit(out, sg.first, sg.pos);
                if (u < 0) continue;
            }
            vi hits_u = vi{}, numbers_u = vi{};
            for (int c = 0; c < C; ++c) {
                // Second rows j0 + c * VL + l of the vector's lanes; only
                // those in [from, to) are pairs of the segment.
                const int32_t first_lane = j0 + c * VL;
                if (first_lane >= to || first_lane + VL <= from) continue;
                const vf r1 = correlation_vec<S>(load(s1[r] + c * VL), c1, row_moments(job.g1, sg.first, j0, c));
                const vf r2 = correlation_vec<S>(load(s2[r] + c * VL), c2, row_moments(job.g2, sg.first, j0, c));
                const int lane_from = imax(from - first_lane, 0), lane_to = imin(to - first_lane, VL);
                const lane_rows rows{sg.first, first_lane};
                if constexpr (median_mode<M>) {
                    count_vector<S>(job, rows, out, r1, r2, u, first_lane, lane_from, lane_to, table, hits_u,
                                    numbers_u);
                } else if constexpr (tally_mode<M>) {
                    tally_vector<S>(&job, rows, out, r1, r2, sg.pos + (first_lane - sg.lo), lane_from, lane_to,
                                    table);
                } else {
                    store(res.r1 + c * VL, reported_vec<S>(r1));
                    store(res.r2 + c * VL, reported_vec<S>(r2));
                    const vf d = exact_differences(clamp_vec<S>(r1), clamp_vec<S>(r2), table);
                    store(res.d + c * VL, refined_lanes<S>(&job, rows, r1, r2, lanes_between(lane_from, lane_to), d,
                                                           res.r1 + c * VL, res.r2 + c * VL));
                }
            }
            if constexpr (median_mode<M>) {
                out.hits[u] += lane_sum(hits_u);
                out.numbers[u] += lane_sum(numbers_u);
            } else if constexpr (writes_mode<M>) {
                emit_run<S>(out, sg.pos + (from - sg.lo), res, from - j0, to - from);
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

template <class S, class M>
void run_batch(const pair_job& job, const M& out, pair_batch& pb) {
    if (pb.count == 0) return;
    const vf r1 = correlation_vec<S>(gathered_sums(job.g1, pb), static_cast<float>(job.g1.n), gathered_moments(job.g1, pb));
    const vf r2 = correlation_vec<S>(gathered_sums(job.g2, pb), static_cast<float>(job.g2.n), gathered_moments(job.g2, pb));
    lane_results res;
    store(res.r1, reported_vec<S>(r1));
    store(res.r2, reported_vec<S>(r2));
    const vf d = exact_differences(clamp_vec<S>(r1), clamp_vec<S>(r2), fisher_table());
    const lane_rows rows{0, 0, pb.first, pb.second};
    store(res.d, refined_lanes<S>(&job, rows, r1, r2, lanes_between(0, pb.count), d, res.r1, res.r2));
    if constexpr (median_mode<M>) {
        // Pairs of short stretches: decided from the exact differences.
        const bool features = out.run_start == nullptr;
        for (int l = 0; l < pb.count; ++l) {
            const float key = out.magnitude ? std::fabs(res.d[l]) : res.d[l];
            const int32_t u = median_unit(out, pb.first[l], pb.pos[l]);
            for (const int32_t f : {u, features ? pb.second[l] : -1}) {
                if (f < 0) continue;
                const float t = out.threshold[f];
                out.hits[f] += out.not_above ? key <= t : key < t;
                out.numbers[f] += res.d[l] == res.d[l];
            }
        }
    } else {
        // Consecutive positions are written (or tallied) together.
        int l = 0;
        while (l < pb.count) {
            int len = 1;
            while (l + len < pb.count && pb.pos[l + len] == pb.pos[l] + len) ++len;
            emit_run<S>(out, pb.pos[l], res, l, len);
            l += len;
        }
    }
    pb.count = 0;
}

template <class S, class M>
void add_to_batch(const pair_job& job, const M& out, pair_batch& pb, const segment& s) {
    for (int32_t j = s.lo; j < s.hi; ++j) {
        pb.pos[pb.count] = s.pos + (j - s.lo);
        pb.first[pb.count] = s.first;
        pb.second[pb.count] = j;
        if (++pb.count == VL) run_batch<S>(job, out, pb);
    }
}

// The pair positions [begin, end) of the job in the mode of `out`: the
// entry points write_pairs, tally_pairs and count_medians of rule_kernels.
template <class S, class M>
void pair_range(const pair_job& job, const M& out, int32_t begin, int32_t end) {
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
                if (first_pass) add_to_batch<S>(job, out, pb, s);
                continue;
            }
            if (!b.accepts(s)) {
                run_band<S>(job, out, b, jlo, jhi);
                b = band();
            }
            b.add(s);
        }
        if (b.count > 0) run_band<S>(job, out, b, jlo, jhi);
        if (first_pass) run_batch<S>(job, out, pb);
    }
}

}  // namespace
