// Scores of the fast path: per feature (from the condensed Fisher
// differences of all pairs) or per run of listed pairs, with the
// permutation tally done by the worker that owns the unit.
#pragma once

#include <cstdint>

#include "options.hpp"
#include "rules.hpp"

namespace corrshift {

// Features settled together by feature_scores; its scratch holds
// kFeatureBlock lists of K floats.
constexpr int32_t kFeatureBlock = 16;

struct score_job {
    const float* z_diff;
    int32_t features;  // K (per-feature scores)
    // Per-feature scores over the rectangle of rows [0, between) with rows
    // [between, K) (0: over all pairs, in the condensed order).
    int32_t between;
    statistics rules;  // sound rules leave undefined differences out
    bool mean;         // "mean", else "median"
    bool magnitude;    // median of magnitudes ("two-sided")
    tail alternative;
    // Observed cycle: scores written and counts set to 0. Permutation
    // cycles (observed not null): counts[u] += 1 when unit u's score is at
    // least as extreme as observed[u] (under sound rules the observed score
    // moved by its tie threshold, stats/ties.hpp). A median is then never
    // selected: the count of values below (or not above) observed[u], taken
    // in the pair kernel, decides.
    float* scores;
    const float* observed;
    uint32_t* counts;
    // Sound rules: the permutation cycles in which the unit's score is
    // undefined (no difference is a number); they count neither way.
    uint32_t* undefined;
};

// Per-feature scores of features [begin, end): each feature's differences
// with every other feature (of the other set, in the rectangle) in feature
// order. scratch: kFeatureBlock * K floats.
void feature_scores(const score_job& job, float* scratch, int32_t begin, int32_t end);

// The number of pairs of a feature: K - 1, or in the rectangle the rows of
// the other set.
int32_t feature_pair_count(const score_job& job, int32_t feature);

// Permutation cycles of median scores are decided by counting, in the pair
// kernel, each unit's differences below its observed score; these are the
// thresholds it compares with (and their tanh), `padded` entries (the
// units' and beyond, the latter never read as units).
void median_thresholds(const score_job& job, int32_t units, float* threshold, float* tanh_threshold, int32_t padded);

// Features [begin, end): sums the counts of `workers` workers (arrays
// `stride` apart) and tallies each feature.
void settle_feature_medians(const score_job& job, const uint32_t* hits, const uint32_t* numbers, int32_t workers,
                            int32_t stride, int32_t begin, int32_t end);

// Runs [begin, end), run g covering positions [start[g], stop[g]): tallies
// each run from its counts.
void settle_run_medians(const score_job& job, const uint32_t* hits, const uint32_t* numbers, const int32_t* start,
                        const int32_t* stop, int32_t begin, int32_t end);

// Scores of runs [begin, end), run g covering positions [start[g], stop[g]).
// scratch: as many floats as the longest run.
void run_scores(const score_job& job, const int32_t* start, const int32_t* stop, float* scratch, int32_t begin,
                int32_t end);

}  // namespace corrshift
