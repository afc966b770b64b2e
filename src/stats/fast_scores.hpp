// Scores of the fast path: per feature (from the condensed Fisher
// differences of all pairs) or per run of listed pairs, with the
// permutation tally done by the worker that owns the unit.
#pragma once

#include <cstdint>

#include "options.hpp"

namespace corrshift {

struct score_job {
    const float* z_diff;
    int32_t features;  // K (per-feature scores)
    bool mean;         // "mean", else "median"
    bool magnitude;    // median of magnitudes ("two-sided")
    tail alternative;
    // Observed cycle: scores written and counts set to 0. Permutation
    // cycles (observed not null): counts[u] += 1 when unit u's score is at
    // least as extreme as observed[u]. A median is then never selected: the
    // count of values below (or not above) the observed score decides.
    float* scores;
    const float* observed;
    uint32_t* counts;
};

// Per-feature scores of features [begin, end): each feature's differences
// with every other feature in feature order. scratch: 16 * K floats.
void feature_scores(const score_job& job, float* scratch, int32_t begin, int32_t end);

// Permutation cycles of per-feature medians by counting instead of
// gathering each feature's differences: the condensed positions
// [begin, end) add, to both features of each pair, whether the difference
// counts against the feature's observed score (see median_extreme in the
// source) into hits and whether it is a number into numbers (K entries
// each, this worker's own, zeroed first). thresholds: K floats of scratch.
void count_feature_medians(const score_job& job, float* thresholds, uint32_t* hits, uint32_t* numbers,
                           int64_t begin, int64_t end);

// Features [begin, end): sums the counts of `workers` workers (arrays of K,
// one after the other) and tallies each feature.
void settle_feature_medians(const score_job& job, const uint32_t* hits, const uint32_t* numbers, int32_t workers,
                            int32_t begin, int32_t end);

// Scores of runs [begin, end), run g covering positions [start[g], stop[g]).
// scratch: as many floats as the longest run.
void run_scores(const score_job& job, const int32_t* start, const int32_t* stop, float* scratch, int32_t begin,
                int32_t end);

}  // namespace corrshift
