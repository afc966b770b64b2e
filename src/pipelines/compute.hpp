// What every pipeline call computes once its arguments are checked: the
// option words parsed into one options struct, raw output buffers, and the
// cycles of the z-test and the scores on either engine. Both native entries
// (the `pipelines` module and corrshift's own) call these.
#pragma once

#include <cstdint>
#include <vector>

#include "inputs.hpp"
#include "../run/cycle_loop.hpp"
#include "../stats/options.hpp"
#include "../stats/rules.hpp"

namespace corrshift {

// Which implementation of the kernels a call runs: the fast one, or the
// straightforward one that the tests compare it with.
enum class kernel_path { fast, reference };

struct call_options {
    bool spearman;
    tail alternative;
    bool mean;  // score aggregate: "mean", else "median"
    statistics rules;
    int32_t permutations;
    int32_t threads;
    const cycle_report* report;  // null: the progress line on standard output
    // Cooperative runtime: the computation runs without the interpreter
    // lock on a pool of threads started once (the report takes the lock
    // for interrupt checks and progress). Otherwise the lock is held and
    // every fork-join starts its threads.
    bool cooperative;
    // Dealing within strata (see cycle_plan); null: from all columns.
    const int32_t* strata;
    int32_t strata_count;
    uint32_t seed = kPermutationSeed;
    // Sound rules: groups in ascending column order, and the permutation
    // cycles every split once when every_split (see cycle_plan).
    bool ascending = false;
    bool every_split = false;
    // Numbered dealings from cycle first_cycle on (see cycle_plan).
    bool numbered = false;
    int64_t first_cycle = 0;
};

// Per pair. extreme: permutation cycles at least as extreme as the observed
// one; undefined (sound rules only, else null): cycles whose difference is
// undefined.
struct pair_outputs {
    float* corr1;
    float* corr2;
    float* z_diff;
    float* p_normal;
    uint32_t* extreme;
    uint32_t* undefined;
};

// Per unit (feature or run), as pair_outputs.
struct unit_outputs {
    float* scores;
    uint32_t* extreme;
    uint32_t* undefined;
};

// Units of listed pairs that a score settles: unit u holds positions
// [start[u], end[u]); `first` names it (a run's first feature, or the
// caller's unit number).
struct pair_units {
    std::vector<int32_t> first, start, end;
};

// Runs: consecutive listed pairs that share their first feature. A position
// whose first feature is not greater than the last run's belongs to no run.
pair_units decompose_runs(const int32_t* pair_first, int32_t n);

void compute_ztest(const checked_inputs& in, const call_options& options, const pair_outputs& out, kernel_path path);
void compute_feature_scores(const checked_inputs& in, const call_options& options, const unit_outputs& out,
                            kernel_path path);
void compute_unit_scores(const checked_inputs& in, const pair_units& runs, const call_options& options,
                        const unit_outputs& out, kernel_path path);

inline cycle_plan make_plan(const checked_inputs& in, const call_options& options) {
    return cycle_plan{in.samples,           in.group1,      in.n1,           in.group2,         in.n2,
                      options.permutations, options.report, options.strata, options.strata_count, options.seed,
                      options.ascending,    options.every_split,  options.numbered,     options.first_cycle};
}

}  // namespace corrshift
