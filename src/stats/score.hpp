// Aggregation of Fisher differences into one score per feature or per run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corrshift {

// Condensed position of each pair {i, j}, j = 0 .. K-1; -1 at j = i.
std::vector<int32_t> pair_index_list(int32_t feature, int32_t features);

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
