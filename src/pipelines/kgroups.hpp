// The test across k groups of samples: per pair, each group's correlation,
// the weighted variance Q of their Fisher transforms (Cochran's
// homogeneity statistic) and its permutation counts over cycles that deal
// all groups anew; optionally every pairwise contrast's Fisher difference
// with its own counts from the same cycles.
#pragma once

#include <cstdint>
#include <vector>

#include "compute.hpp"
#include "inputs.hpp"

namespace corrshift {

// The groups of a call: group g holds sizes[g] columns at columns[g].
struct group_layout {
    std::vector<const int32_t*> columns;
    std::vector<int32_t> sizes;
    int32_t count() const { return static_cast<int32_t>(sizes.size()); }
};

// Where the results go, N = in.pairs. Contrasts (i, j), i < j, come in the
// order (0, 1), (0, 2), ..., (1, 2), ...; contrast_z null: none computed.
struct kgroup_outputs {
    float* corr;        // group g's correlation of pair p at g * N + p
    double* chi2;       // Q of each pair (NaN where a correlation is undefined)
    uint32_t* extreme;  // permutation cycles whose Q is at least the observed one
    uint32_t* valid;    // permutation cycles whose Q is defined
    float* contrast_z;  // contrast c's Fisher difference z_i - z_j of pair p at c * N + p
    uint32_t* contrast_extreme;  // cycles whose |z_i - z_j| is at least the observed one
    uint32_t* contrast_valid;    // cycles whose z_i - z_j is defined
    // Feature scores over all pairs (score null: none): each feature's mean
    // (score_mean) or median of Q over its pairs where Q is defined, and
    // its permutation counts from the same cycles; or the scores of units.
    double* score = nullptr;
    uint32_t* score_extreme = nullptr;
    uint32_t* score_valid = nullptr;
    bool score_mean = true;
    // Scores of units of listed pairs instead of features (units null:
    // features): unit u aggregates the pairs at positions [start[u], end[u]).
    const pair_units* units = nullptr;
};

// Feature f's score from per-pair values (condensed order over `features`
// features): the mean, summed in the order of f's partners, or the median
// (of an even count the upper middle value) of its pairs' values that are
// numbers; NaN when none is. `scratch` holds the values meanwhile.
double feature_score(const double* values, int32_t features, int32_t f, bool mean, std::vector<double>& scratch);

// The same for the values at positions [begin, end) (a unit of listed pairs).
double range_score(const double* values, int32_t begin, int32_t end, bool mean, std::vector<double>& scratch);

// The weight of a group of n samples in Q: n - 3, divided by the variance
// factor 1.5 of Fisher's z of Spearman's coefficient (the two-group test's
// standard error takes sqrt(1.5) on each group's 1/sqrt(n - 3)).
double group_weight(int32_t n, bool spearman);

// Q = sum_g w_g (z_g - zbar)^2, zbar = sum_g w_g z_g / sum_g w_g, in double
// precision, the groups taken in ascending order of (w_g, z_g), so that
// two cycles holding the same (w, z) values in any groups give the same Q
// bit for bit. The order of the weights is found once per call; only
// groups of equal weight are sorted by z per pair, branch-free.
struct homogeneity_form {
    std::vector<int32_t> by_weight;  // the groups in ascending order of weight (stable)
    std::vector<double> weights;     // their weights in that order
    std::vector<int32_t> run_ends;   // where each run of equal weights ends in that order
    double total = 0.0;              // the weights' sum in that order

    explicit homogeneity_form(const std::vector<double>& group_weights);
    // Q of `count` pairs at once: group g's transform of pair i at
    // z[g * stride + i] (group order), Q into q[i] (NaN when a transform is
    // NaN). `sorted` is scratch of k x stride floats, `mean` of `count`
    // doubles. The pairs are independent lanes of the same arithmetic.
    void operator()(const float* z, int32_t stride, int32_t count, double* q, float* sorted, double* mean) const;
};
// The value permuted Q values are compared with: the observed Q moved
// towards 0 by the arithmetic's error bound (see stats/ties.hpp), so that
// a cycle whose Q equals the observed one in exact arithmetic counts as at
// least as extreme. sqrt(Q) is a seminorm of the z values, so an error
// e_g in each z_g moves it by at most sum_g e_g sqrt(w_g (1 - w_g / W)),
// W = sum_g w_g (with two groups: sqrt(w1 w2 / W) (e1 + e2), the
// two-group test's bound on |z1 - z2| scaled as Q scales it). NaN stays
// NaN.
double homogeneity_threshold(double q, const double* weights, const float* r, const int32_t* sizes, int32_t k);

// Runs the observed cycle and in.permutations permutation cycles of the
// plan the options describe (numbered dealings of all groups).
// `in` holds the data and pairs (its group1 all groups' columns).
void compute_kgroups(const checked_inputs& in, const group_layout& groups, const call_options& options,
                     const kgroup_outputs& out);

}  // namespace corrshift
