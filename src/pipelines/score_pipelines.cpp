// Score pipelines: per feature, or per run of listed pairs sharing their
// first feature, an aggregate of the Fisher differences with a permutation
// p-value.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "pipelines.hpp"
#include "plan.hpp"
#include "tally.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/correlation.hpp"
#include "../stats/score.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

namespace {

// Consecutive listed pairs that share their first feature. A position whose
// first feature is not greater than the last run's belongs to no run.
struct run_table {
    std::vector<int32_t> first, start, end;
};

run_table decompose_runs(const int32_t* pair_first, int32_t n) {
    run_table runs;
    int32_t i = 0;
    while (i < n) {
        if (!runs.first.empty() && pair_first[i] <= runs.first.back()) {
            ++i;
            continue;
        }
        const int32_t v = pair_first[i];
        int32_t j = i;
        while (j < n && pair_first[j] == v) ++j;
        runs.first.push_back(v);
        runs.start.push_back(i);
        runs.end.push_back(j);
        i = j;
    }
    return runs;
}

// Runs the cycles with `phases(view, target)` filling one score per unit
// into target (the observed scores in cycle 0, scratch afterwards), tallies
// the permuted scores and returns the observed scores and p-values.
template <class Phases>
std::pair<float_output, float_output> score_cycles(const checked_inputs& in, const std::string& method,
                                                   const std::string& alternative, int32_t permutations,
                                                   int32_t threads, int32_t units, Phases&& phases) {
    float_output scores(units), pvalues(units);
    auto perm_scores = make_scratch<float>(units);
    auto counts = make_scratch<uint32_t>(units);
    const tail alt = parse_tail(alternative);
    run_cycles(
        make_plan(in, method, permutations, threads),
        [&](const cycle_view& v) { phases(v, v.cycle == 0 ? scores.mutable_data() : perm_scores.get()); },
        [&](int32_t cycle) {
            if (cycle == 0)
                std::fill_n(counts.get(), units, 0u);
            else
                tally_extremes(alt, scores.data(), perm_scores.get(), counts.get(), units);
        });
    finish_fractions(counts.get(), pvalues.mutable_data(), units, permutations);
    return {std::move(scores), std::move(pvalues)};
}

}  // namespace

score_result score_pipeline_exhaustive(const float_input& data, const int_input& group1, const int_input& group2,
                                       std::string method, std::string aggregate, std::string alternative,
                                       int permutations, int processes) {
    const checked_inputs in = check_inputs(data, nullptr, nullptr, group1, group2, permutations);
    check_aggregate(aggregate);
    const int32_t threads = effective_threads(processes, in.features);
    const int32_t n = in.pairs;
    auto corr1 = make_scratch<float>(n), corr2 = make_scratch<float>(n), z_diff = make_scratch<float>(n);
    float* c1 = corr1.get();
    float* c2 = corr2.get();
    float* z = z_diff.get();

    auto result = score_cycles(in, method, alternative, permutations, threads, in.features,
                               [&](const cycle_view& v, float* target) {
                                   run_workers(n, threads, [=](int32_t begin, int32_t end) {
                                       ztest_worker(v.matrix, in.samples, nullptr, nullptr, begin, end,
                                                    in.features, v.group1, v.group2, in.n1, in.n2, c1, c2, z,
                                                    nullptr, method, kTwoSided);
                                   });
                                   run_workers(in.features, threads, [=](int32_t begin, int32_t end) {
                                       feature_score_worker(z, in.features, begin, end, target, aggregate,
                                                            alternative);
                                   });
                               });
    return {std::move(result.first), std::move(result.second)};
}

namespace {

// Pairs of the runs [begin, end): both groups' correlations and their
// Fisher differences, then one score per run into target.
int run_score_worker(const float* matrix, int32_t samples, const int32_t* pair_first, const int32_t* pair_second,
                     const int32_t* columns1, const int32_t* columns2, int32_t n1, int32_t n2, float* corr1,
                     float* corr2, float* z_diff, const int32_t* start, const int32_t* stop, int32_t begin,
                     int32_t end, float* target, std::string method, std::string alternative,
                     std::string aggregate) {
    if (begin >= end) return 0;
    const int32_t first = start[begin], last = stop[end - 1];
    pairwise_correlation(matrix, samples, pair_first, pair_second, corr1, first, last, 0, columns1, n1);
    pairwise_correlation(matrix, samples, pair_first, pair_second, corr2, first, last, 0, columns2, n2);
    fisher_ztest(corr1, n1, corr2, n2, z_diff, nullptr, first, last, method, kTwoSided);
    aggregate_runs(z_diff, start, stop, begin, end, target, aggregate, alternative);
    return 0;
}

}  // namespace

run_score_result score_pipeline_indexed(const float_input& data, const int_input& pair_first,
                                        const int_input& pair_second, const int_input& group1,
                                        const int_input& group2, std::string method, std::string aggregate,
                                        std::string alternative, int permutations, int processes) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    check_aggregate(aggregate);
    const run_table runs = decompose_runs(in.pair_first, in.pairs);
    const auto g = static_cast<int32_t>(runs.first.size());
    const int32_t threads = effective_threads(processes, g);
    const int32_t n = in.pairs;
    auto corr1 = make_scratch<float>(n), corr2 = make_scratch<float>(n), z_diff = make_scratch<float>(n);
    float* c1 = corr1.get();
    float* c2 = corr2.get();
    float* z = z_diff.get();
    const int32_t* start = runs.start.data();
    const int32_t* stop = runs.end.data();

    int_output run_firsts(g);
    std::copy(runs.first.begin(), runs.first.end(), run_firsts.mutable_data());
    auto result = score_cycles(in, method, alternative, permutations, threads, g,
                               [&](const cycle_view& v, float* target) {
                                   run_workers(g, threads, [=](int32_t begin, int32_t end) {
                                       run_score_worker(v.matrix, in.samples, in.pair_first, in.pair_second,
                                                        v.group1, v.group2, in.n1, in.n2, c1, c2, z, start,
                                                        stop, begin, end, target, method, alternative,
                                                        aggregate);
                                   });
                               });
    return {std::move(run_firsts), std::move(result.first), std::move(result.second)};
}

}  // namespace corrshift
