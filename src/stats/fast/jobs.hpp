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
    float* rank_rows;  // "spearman" (else null): VL x P floats, a rank row for each row of a vector
    float* values;    // max(n1, n2) floats
    int32_t* order;   // max(n1, n2) ints
    int32_t* ranks;   // max(n1, n2) ints
    uint8_t* seen;    // max(n1, n2) bytes
    uint64_t* keys;   // max(n1, n2) sort keys
    uint64_t* block_starts;  // "spearman" ranked from row orders (else null): P group counts
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
    const float* zeros;        // P zeros: the values of the padding rows
    // Ranks from each row's order over all samples, found once per call
    // (null: not found): row r's samples in ascending order of value at
    // order + r * P, usable when distinct[r] is a row_order other than
    // unusable (rank.hpp: no NaN in the row; under classic rules no tie
    // either); under "tied", entries that tie with the one before carry
    // kTiedToPrevious. With groups of distinct columns that no column
    // shares (disjoint), member[s] is 1 or 2 for a column of group 1 or 2,
    // else 0.
    const int32_t* order;
    const uint8_t* distinct;
    const uint8_t* member;
    bool disjoint;
    // The values sample-major, made once per call for the blocks from
    // by_sample_first on (null: not made): block b's row b * W + r, sample
    // s at by_sample + ((b - by_sample_first) * P + s) * W + r, zero for
    // rows past K. A cycle then packs each sample of a group as one copy
    // of W consecutive floats instead of W scattered reads.
    const float* by_sample;
    int32_t by_sample_first;
};

// The geometry of the pair phase of one cycle: which pair lies at each
// position and the packed rows the pairs are computed from. What the pair
// kernel does with each pair's correlations is its mode's, each with an
// output struct and an entry point of its own: pair_writes (write_pairs),
// pair_tally (tally_pairs), median_counts (count_medians).
struct pair_job {
    int32_t features;            // K (exhaustive pair order)
    const int32_t* pair_first;   // null: condensed pair order, or the rectangle
    const int32_t* pair_second;  // null: condensed pair order, or the rectangle
    // Not 0 (and no pairs listed): the rectangle of rows [0, between) with
    // rows [between, K), position i * (K - between) + j holding the pair
    // (i, between + j).
    int32_t between;
    // Listed pairs: the positions where a stretch of pairs with one first
    // row and consecutive second rows begins (`segments` of them), then the
    // pair count.
    const int32_t* segment_starts;
    int32_t segments;
    group_panel g1, g2;
    int32_t l2_rows;  // rows of both groups' panels that fit the cache together
};

// Writing the results of a cycle: the observed cycle of the z-test, or the
// Fisher differences of any cycle of the scores. Each output is optional
// (null: not written).
struct pair_writes {
    float* corr1;
    float* corr2;
    float* z_diff;
    float* p_normal;  // normal p-values under `alternative`, with standard error `se`
    // tanh of each difference (as float), which the tally of the
    // permutation cycles compares with (see pair_tally).
    float* z_tanh;
    uint32_t* counts;     // permutation counts, zeroed
    uint32_t* undefined;  // sound rules: undefined-cycle counts, zeroed
    tail alternative;
    float se;
};

// A permutation cycle of the z-test: per pair, counts += 1 when the
// permuted difference is at least as extreme as z_observed under
// `alternative`; under sound rules undefined += 1 when it is undefined
// (rarely written, so the tally reads and writes no more memory).
struct pair_tally {
    const float* z_observed;
    const float* z_tanh;  // tanh of each observed difference, as pair_writes wrote it
    uint32_t* counts;
    uint32_t* undefined;  // read under sound rules only
    tail alternative;
};

// A permutation cycle of per-unit medians: nothing written; for both
// features f of each pair, hits[f] counts the differences d whose key (|d|
// under magnitude) lies below threshold[f] (not above it under not_above),
// numbers[f] those that are numbers. The counts are this worker's own;
// tanh[f] = tanh of the threshold (+inf where the threshold is NaN). Arrays
// of K entries rounded up to whole panel blocks.
struct median_counts {
    const float* threshold;
    const float* tanh;
    uint32_t* hits;
    uint32_t* numbers;
    bool magnitude;
    bool not_above;
    // Listed pairs (run_start not null): the units are runs instead of
    // features, run g covering positions [run_start[g], run_stop[g])
    // (positions in no run count nowhere); each difference counts for its
    // run only, and the arrays are indexed by run.
    const int32_t* run_start;
    const int32_t* run_stop;
    int32_t runs;
};

// The kernels of one instruction set that follow one set of rules.
struct rule_kernels {
    // Packs the blocks [begin, end) of rows; worker names its scratch.
    void (*prepare_blocks)(const prepare_job& job, int32_t worker, int32_t begin, int32_t end);
    // The pair positions [begin, end) of the job, in each of its modes.
    void (*write_pairs)(const pair_job& job, const pair_writes& out, int32_t begin, int32_t end);
    void (*tally_pairs)(const pair_job& job, const pair_tally& out, int32_t begin, int32_t end);
    void (*count_medians)(const pair_job& job, const median_counts& out, int32_t begin, int32_t end);
    // p[k] = the normal p-value of the Fisher difference d[k] with standard
    // error se under the alternative (sound rules: sound_normal_pvalue,
    // vectorised; classic: normal_pvalue), for k in [0, n).
    void (*normal_pvalues)(tail alternative, const float* d, float se, float* p, int64_t n);
};

// One build of the kernels for one instruction set.
struct kernel_table {
    const char* name;
    int32_t width;  // rows per panel block
    int32_t lanes;  // float lanes of a vector: rows packed together
    rule_kernels classic, sound;
    const rule_kernels& under(statistics rules) const { return rules == statistics::sound ? sound : classic; }
    // out[k] = float atanh of in[k], taken in double precision (values in [-1, 1] or NaN).
    void (*fisher_block)(const float* in, float* out, int64_t n);
    // out[k] = tanh_of_difference(in[k]), vectorised.
    void (*tanh_block)(const float* in, float* out, int64_t n);
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
