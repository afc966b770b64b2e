// Validation of the arguments of every pipeline, done before anything is
// written or any worker starts, so no kernel reads outside an array.
#pragma once

#include <cstdint>
#include <string>

#include "arrays.hpp"

namespace corrshift {

struct checked_inputs {
    const float* data;
    int32_t features;  // K
    int32_t samples;   // P
    const int32_t* group1;
    int32_t n1;
    const int32_t* group2;
    int32_t n2;
    const int32_t* pair_first;   // null in the exhaustive pipelines
    const int32_t* pair_second;  // null in the exhaustive pipelines
    int32_t pairs;               // N: listed pairs, or K(K-1)/2 in the exhaustive pipelines
    // The rectangle of two feature sets (corrshift's entry): rows [0, between)
    // form set A, rows [between, K) set B, and position i * (K - between) + j
    // holds the pair (i, between + j); N = between * (K - between). 0: the
    // condensed order of all pairs.
    int32_t between = 0;
};

// Checks shapes, index ranges and the permutation count; raises ValueError
// or IndexError naming the argument. Pass null pair arrays for the
// exhaustive pipelines.
checked_inputs check_inputs(const float_input& data, const int_input* pair_first, const int_input* pair_second,
                            const int_input& group1, const int_input& group2, int permutations);

// Makes an exhaustive call's pairs the rectangle of rows [0, between) with
// rows [between, K): 0 < between < K and a pair count within int32;
// ValueError otherwise. 0 keeps all pairs.
void check_between(checked_inputs& in, int64_t between);

// ValueError unless aggregate is "mean" or "median".
void check_aggregate(const std::string& aggregate);

// The option words of the `pipelines` module: "spearman" selects ranks and
// any other method Pearson; an alternative other than the three selects
// none (normal p-values -2.0, nothing counted). Classic rules.
struct call_options;
call_options classic_options(const std::string& method, const std::string& alternative, int permutations);

// The option words of corrshift's entry: each must be one of its choices
// (ValueError naming the argument otherwise). Sound rules.
call_options sound_options(const std::string& method, const std::string& alternative, int permutations);

// The strata of corrshift's entry: None, or one int32 per sample column,
// -1 (no stratum) or a stratum number 0, 1, ...; every member of the groups
// in a stratum, and with permutations each stratum holding at least its
// members. Sets options.strata and strata_count to the returned array's,
// which the caller keeps while the call runs; ValueError otherwise.
int_input check_strata(const py::object& strata, const checked_inputs& in, call_options& options);

// corrshift's entry: ValueError naming the thread count unless it is at
// least 1.
void check_threads(int threads);

// An exact test (options.every_split): every stratum's columns (all columns
// without strata) must be exactly its members of the two groups, and the
// permutation count the number of distinct splits; ValueError otherwise.
void check_every_split(const checked_inputs& in, const call_options& options);

// The first cycle of numbered dealings: at least 0, 0 for an exact test
// (its splits come in one enumeration), and the call's last cycle within
// 2**63 - 1. Returns it; ValueError otherwise.
int64_t check_first_cycle(int64_t first_cycle, bool exact, int permutations);

// Units of listed pairs from their first positions: ascending, in
// [0, pair count]; unit u ends where unit u + 1 begins (the last at the
// pair count). ValueError otherwise.
struct pair_units;
pair_units check_units(const int_input& unit_starts, const checked_inputs& in);

// The groups of a test across groups: `sizes` (1-D, at least two groups of
// at least 4 samples each) cut in.group1, which holds every group's
// columns in turn, no column twice. ValueError otherwise.
struct group_layout;
group_layout check_group_layout(const int_input& sizes, const checked_inputs& in);

// check_aggregate, then whether it is "mean".
bool aggregate_is_mean(const std::string& aggregate);

// The number of workers per fork-join: min(requested, units). Raises
// RuntimeError "Process number error" when that is below 1.
int32_t effective_threads(int requested, int64_t units);

}  // namespace corrshift
