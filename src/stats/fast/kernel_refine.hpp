// The fast kernels' side of refine.hpp: correlations near +-1 recomputed
// from the packed rows in double precision, lane by lane, wherever a
// difference is formed exactly (the observed cycle, the lanes a tally
// cannot decide in tanh space, the median counts).
#pragma once

#include <cstdint>

#include "../refine.hpp"
#include "jobs.hpp"
#include "kernel_vectors.hpp"

namespace {

using namespace corrshift;

// Block b of a group's panel: n samples of W rows, sample-major.
inline float* block_in_panel(const group_panel& g, int32_t block) {
    return g.panel + static_cast<int64_t>(block) * g.n * W;
}

// A row's first sample in its block; its next samples lie W floats apart.
inline float* row_in_panel(const group_panel& g, int32_t row) { return block_in_panel(g, row / W) + row % W; }

// The rows of the pairs in a vector's lanes: lane l holds (first, second0
// + l), or (firsts[l], seconds[l]) for gathered pairs.
struct lane_rows {
    int32_t first;
    int32_t second0;
    const int32_t* firsts = nullptr;
    const int32_t* seconds = nullptr;
    int32_t i(int l) const { return firsts != nullptr ? firsts[l] : first; }
    int32_t j(int l) const { return seconds != nullptr ? seconds[l] : second0 + l; }
};

// Sound rules: the differences d of the lanes in `lanes` whose correlation
// r1 or r2 (as summed) needs it recomputed (refined_difference), their
// refined correlations into reported1 / reported2 when given; d unchanged
// otherwise, or without a job (arrays of correlations, no rows).
template <class S>
inline vf refined_lanes(const pair_job* job, const lane_rows& rows, vf r1, vf r2, vi lanes, vf d,
                        float* reported1 = nullptr, float* reported2 = nullptr) {
    if constexpr (!S::sound) {
        return d;
    } else {
        if (job == nullptr) return d;
        const vi near = ((vi)(vabs(r1) > kRefinedAbove) | (vi)(vabs(r2) > kRefinedAbove)) & lanes;
        if (!CORRSHIFT_ANY_LANE(near)) return d;
        for (int l = 0; l < VL; ++l) {
            if (near[l] == 0) continue;
            const int32_t i = rows.i(l), j = rows.j(l);
            const auto refine = [&](int group) {
                const group_panel& g = group == 1 ? job->g1 : job->g2;
                return refined_correlation(row_in_panel(g, i), row_in_panel(g, j), g.n, W);
            };
            d[l] = refined_difference(r1[l], r2[l], refine, reported1 != nullptr ? reported1 + l : nullptr,
                                      reported2 != nullptr ? reported2 + l : nullptr);
        }
        return d;
    }
}

}  // namespace
