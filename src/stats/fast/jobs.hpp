// Plain descriptions of the work of the fast kernels: what one cycle's row
// preparation and pair phase read and write. The same structs are used by
// every instruction-set build of the kernels.
#pragma once

#include <cstdint>

#include "../options.hpp"
#include "../rules.hpp"

namespace corrshift {

// One group's rows packed for the pair kernel: blocks of `width` rows, each
// block stored sample-major ([block][sample][lane]), so that one vector load
// reads `width` rows at one sample and one broadcast reads one row.
struct group_panel {
    float* panel;  // ceil(K / width) * width * n floats
    float* mean;   // per row: sum / count
    float* var;    // per row: sum of squares / count - mean * mean
    int32_t n;     // samples in the group
};

// Scratch one worker of the preparation phase owns for the whole call.
struct prepare_scratch {
    float* rank_row;  // P floats: one row of the rank matrix
    float* values;    // max(n1, n2) floats
    int32_t* order;   // max(n1, n2) ints
    int32_t* ranks;   // max(n1, n2) ints
    uint8_t* seen;    // max(n1, n2) bytes
    uint64_t* keys;   // max(n1, n2) sort keys
};

// Packing of every row for one cycle: the raw values of each group's
// columns, or under "spearman" the ranks of the row within each group.
struct prepare_job {
    const float* data;
    int32_t samples;   // P
    int32_t features;  // K
    const int32_t* group1;
    const int32_t* group2;
    bool spearman;
    group_panel g1, g2;
    prepare_scratch* scratch;  // one per worker
    // Ranks from each row's order over all samples, found once per call
    // (null: not found): row r's samples in ascending order of value at
    // order + r * P, when distinct[r] (no tie, no NaN in the row). With
    // groups of distinct columns that no column shares (disjoint),
    // member[s] is 1 or 2 for a column of group 1 or 2, else 0.
    const int32_t* order;
    const uint8_t* distinct;
    const uint8_t* member;
    bool disjoint;
};

// The pair phase of one cycle over a range of pair positions.
struct pair_job {
    int32_t features;            // K (exhaustive pair order)
    const int32_t* pair_first;   // null: condensed pair order
    const int32_t* pair_second;  // null: condensed pair order
    // Listed pairs: the positions where a stretch of pairs with one first
    // row and consecutive second rows begins (`segments` of them), then the
    // pair count.
    const int32_t* segment_starts;
    int32_t segments;
    group_panel g1, g2;
    // Outputs, each optional (null: not written).
    float* corr1;
    float* corr2;
    float* z_diff;
    float* p_normal;    // normal p-values under `alternative`, with standard error `se`
    uint32_t* counts;   // permutation counts: zeroed when z_observed is null, else tallied
    // Sound rules: the permutation cycles in which each pair's difference
    // is undefined (zeroed when z_observed is null, else tallied with
    // counts; rarely written, so the tally reads and writes no more memory).
    uint32_t* undefined;
    const float* z_observed;
    // tanh of each observed difference (as float): written when z_observed
    // is null, read by the tally of permutation cycles otherwise.
    float* z_tanh;
    // Permutation cycles of per-unit medians (median_hits not null):
    // nothing written; for both features f of each pair, median_hits[f]
    // counts the differences d whose key (|d| under median_magnitude)
    // lies below median_threshold[f] (not above it under
    // median_not_above), median_numbers[f] those that are numbers. The
    // counts are this worker's own; median_tanh[f] = tanh of the
    // threshold (+inf where the threshold is NaN). Arrays of K entries
    // rounded up to whole panel blocks.
    const float* median_threshold;
    const float* median_tanh;
    uint32_t* median_hits;
    uint32_t* median_numbers;
    bool median_magnitude;
    bool median_not_above;
    // Listed pairs: the units are runs instead of features, run g covering
    // positions [median_run_start[g], median_run_stop[g]) (positions in no
    // run count nowhere); each difference counts for its run only, and the
    // arrays are indexed by run.
    const int32_t* median_run_start;
    const int32_t* median_run_stop;
    int32_t median_runs;
    tail alternative;
    float se;
    int32_t l2_rows;  // rows of both groups' panels that fit the cache together
};

// The kernels of one instruction set that follow one set of rules.
struct rule_kernels {
    // Packs the blocks [begin, end) of rows; worker names its scratch.
    void (*prepare_blocks)(const prepare_job& job, int32_t worker, int32_t begin, int32_t end);
    // The pair positions [begin, end) of the job.
    void (*pair_range)(const pair_job& job, int32_t begin, int32_t end);
};

// One build of the kernels for one instruction set.
struct kernel_table {
    const char* name;
    int32_t width;  // rows per panel block
    rule_kernels classic, sound;
    const rule_kernels& under(statistics rules) const { return rules == statistics::sound ? sound : classic; }
    // out[k] = float atanh of in[k], taken in double precision (values in [-1, 1] or NaN).
    void (*fisher_block)(const float* in, float* out, int64_t n);
    // counts[k] += 1 when the Fisher difference of the clamped correlations
    // c1[k], c2[k] is at least as extreme as observed[k], decided as the
    // permutation tally of the pair kernel decides it under the rules
    // (sound rules: undefined[k] += 1 when that difference is undefined).
    void (*tally_block)(const float* c1, const float* c2, const float* observed, tail alternative, uint32_t* counts,
                        uint32_t* undefined, int64_t n, statistics rules);
    // Ranks of values[0 .. m-1] when they hold no tie and no NaN: true and
    // ranks[k] = position of values[k] in ascending order; false otherwise.
    bool (*distinct_ranks)(const float* values, int32_t m, int32_t* ranks, uint8_t* seen);
};

}  // namespace corrshift
