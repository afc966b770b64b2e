// Aggregation of Fisher differences into one score per feature or per run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "options.hpp"
#include "rules.hpp"

namespace corrshift {

// Both score pipelines aggregate by the median, quantile 0.5.
constexpr float kMedianQuantile = 0.5f;

// Index of the q-quantile among count sorted values: trunc(count * q) in
// float32.
size_t quantile_index(int32_t count, float q);

// The element at quantile_index(count, q) of values[0 .. count-1] in
// ascending order (NaN after every number), magnitudes when `magnitude`;
// 0 when count is 0. Reorders (and under `magnitude` overwrites) values.
float select_quantile(float* values, int32_t count, float q, bool magnitude);

// Mean of |values[i]| summed in order in one float32 accumulator; 0 when
// count is 0. Sound rules leave NaN values out and give NaN when no value
// is a number.
float mean_of_magnitudes(const float* values, int32_t count, statistics rules = statistics::classic);

// Sound rules' quantile: select_quantile over the values that are numbers
// (moved to the front of values); NaN when there is none.
float select_defined_quantile(float* values, int32_t count, float q, bool magnitude);

// How the differences of a unit make its score.
struct score_rule {
    bool mean;       // mean of magnitudes, else the median
    bool magnitude;  // median of magnitudes ("two-sided")
    statistics rules;
};

// score_rule of the option words; `mean` false for "median" (the words are
// checked before).
score_rule make_score_rule(bool mean, tail alternative, statistics rules);

// target[i] = score of feature i over its pairs with every other feature,
// and target[g] = score of the pair positions [start[g], stop[g]): the
// straightforward aggregation under either rules.
// `between` (not 0): the pairs are the rectangle of rows [0, between) with
// the other rows (see feature_pair_positions).
void score_features(const float* z_diff, int32_t features, int32_t begin, int32_t end, float* target,
                    score_rule rule, int32_t between = 0);
void score_runs(const float* z_diff, const int32_t* start, const int32_t* stop, int32_t begin, int32_t end,
                float* target, score_rule rule);

// Condensed position of each pair {i, j}, j = 0 .. K-1; -1 at j = i.
std::vector<int32_t> pair_index_list(int32_t feature, int32_t features);

// The positions of a feature's pairs in member order: pair_index_list for
// all pairs (between = 0); in the rectangle of rows [0, between) with rows
// [between, K), a row of the first set's K - between positions, a row of the
// second set's `between` positions (one per row of the first set).
std::vector<int32_t> feature_pair_positions(int32_t feature, int32_t features, int32_t between);

// Element trunc(c * q) of the ascending order of the c gathered values
// z_diff[p] (p >= 0; magnitudes when `magnitude`), or 0 when there are none.
float quantile_pick(const float* z_diff, const int32_t* positions, int32_t count, float q, bool magnitude);

// target[i] = score of feature i over its pairs with every other feature,
// for i in [begin, end).
int feature_score_worker(const float* z_diff, int32_t features, int32_t begin, int32_t end, float* target,
                         std::string aggregate, std::string alternative);

// target[g] = score of the pair positions [start[g], end[g]), g in [begin, end).
int aggregate_runs(const float* z_diff, const int32_t* start, const int32_t* stop, int32_t begin, int32_t end,
                   float* target, std::string aggregate, std::string alternative);

}  // namespace corrshift
