// Z-test pipelines: per pair, both groups' correlations, their Fisher
// difference, its normal p-value and a permutation p-value.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "fast_rows.hpp"
#include "pipelines.hpp"
#include "plan.hpp"
#include "tally.hpp"
#include "../run/phase_clock.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

namespace {

// The straightforward path: each worker correlates its pairs in both
// groups into the cycle's targets; the calling thread tallies afterwards
// from scratch copies of the permuted differences.
void reference_ztest(const checked_inputs& in, const std::string& method, const std::string& alternative,
                     int32_t permutations, int32_t threads, float* corr1, float* corr2, float* z_diff,
                     float* p_normal, float* p_permutation) {
    const int32_t n = in.pairs;
    auto perm_corr1 = make_scratch<float>(n), perm_corr2 = make_scratch<float>(n);
    auto perm_z = make_scratch<float>(n);
    auto counts = make_scratch<uint32_t>(n);
    const tail alt = parse_tail(alternative);
    reference_matrix matrix(in, method == kSpearman, threads);
    run_cycles(
        make_plan(in, permutations),
        [&](const cycle_view& v) {
            const bool observed = v.cycle == 0;
            float* c1 = observed ? corr1 : perm_corr1.get();
            float* c2 = observed ? corr2 : perm_corr2.get();
            float* z = observed ? z_diff : perm_z.get();
            float* p = observed ? p_normal : nullptr;
            const float* m = matrix.for_cycle(v);
            run_workers(n, threads, [=](int32_t begin, int32_t end) {
                ztest_worker(m, in.samples, in.pair_first, in.pair_second, begin, end, in.features, v.group1,
                             v.group2, in.n1, in.n2, c1, c2, z, p, method, alternative);
            });
        },
        [&](int32_t cycle) {
            if (cycle == 0)
                std::fill_n(counts.get(), n, 0u);
            else
                tally_extremes(alt, z_diff, perm_z.get(), counts.get(), n);
        });
    finish_fractions(counts.get(), p_permutation, n, permutations);
}

// The fast path: rows packed once per cycle, pairs computed tile by tile,
// each worker comparing its permuted differences with the observed ones at
// once; the counts live in p_permutation until the end.
void fast_ztest(const checked_inputs& in, const std::string& method, const std::string& alternative,
                int32_t permutations, int32_t threads, float* corr1, float* corr2, float* z_diff, float* p_normal,
                float* p_permutation) {
    const int32_t n = in.pairs;
    const bool spearman = method == kSpearman;
    fast_rows rows;
    make_fast_rows(rows, in, spearman, threads, permutations);
    pair_job observed = pair_job_for(rows, in);
    observed.alternative = parse_tail(alternative);
    observed.se = difference_standard_error(in.n1, in.n2, spearman);
    observed.counts = counts_in(p_permutation);
    pair_job permuted = observed;
    observed.corr1 = corr1;
    observed.corr2 = corr2;
    observed.z_diff = z_diff;
    permuted.z_observed = z_diff;
    // With permutations, p_normal's storage holds the tanh of each observed
    // difference for the tally until the end, when the p-values replace it.
    const bool tanh_in_p = permutations > 0;
    if (tanh_in_p)
        observed.z_tanh = permuted.z_tanh = p_normal;
    else
        observed.p_normal = p_normal;
    const kernel_table* kernels = rows.kernels;
    run_cycles(
        make_plan(in, permutations),
        [&](const cycle_view& v) {
            pack_cycle_rows(rows, v);
            const pair_job* job = v.cycle == 0 ? &observed : &permuted;
            const timed_phase timing(phase::pairs);
            run_pair_workers(rows, [=](int32_t, int32_t begin, int32_t end) { kernels->pair_range(*job, begin, end); });
        },
        [](int32_t) {});
    if (tanh_in_p) {
        const tail alt = observed.alternative;
        const float se = observed.se;
        run_workers(n, threads, [=](int32_t begin, int32_t end) {
            for (int32_t k = begin; k < end; ++k) p_normal[k] = normal_pvalue(alt, z_diff[k], se);
        });
    }
    finish_fractions_in_place(p_permutation, n, permutations);
}

ztest_result run_ztest(const checked_inputs& in, const std::string& method, const std::string& alternative,
                       int32_t permutations, int processes, engine e) {
    // The process count is used as given (the pair count may be 0).
    const int32_t threads = effective_threads(processes, std::numeric_limits<int32_t>::max());
    const int32_t n = in.pairs;
    float_output corr1(n), corr2(n), z_diff(n), p_normal(n), p_permutation(n);
    auto run = e == engine::fast ? fast_ztest : reference_ztest;
    run(in, method, alternative, permutations, threads, corr1.mutable_data(), corr2.mutable_data(),
        z_diff.mutable_data(), p_normal.mutable_data(), p_permutation.mutable_data());
    return {std::move(corr1), std::move(corr2), std::move(z_diff), std::move(p_normal), std::move(p_permutation)};
}

ztest_result exhaustive(const float_input& data, const int_input& group1, const int_input& group2,
                        const std::string& method, const std::string& alternative, int permutations, int processes,
                        engine e) {
    const checked_inputs in = check_inputs(data, nullptr, nullptr, group1, group2, permutations);
    return run_ztest(in, method, alternative, permutations, processes, e);
}

ztest_result indexed(const float_input& data, const int_input& pair_first, const int_input& pair_second,
                     const int_input& group1, const int_input& group2, const std::string& method,
                     const std::string& alternative, int permutations, int processes, engine e) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    return run_ztest(in, method, alternative, permutations, processes, e);
}

}  // namespace

ztest_result ztest_pipeline_exhaustive(CORRSHIFT_ZTEST_EXHAUSTIVE_ARGS) {
    return exhaustive(data, group1, group2, method, alternative, permutations, processes, engine::fast);
}

ztest_result reference_ztest_pipeline_exhaustive(CORRSHIFT_ZTEST_EXHAUSTIVE_ARGS) {
    return exhaustive(data, group1, group2, method, alternative, permutations, processes, engine::reference);
}

ztest_result ztest_pipeline_indexed(CORRSHIFT_ZTEST_INDEXED_ARGS) {
    return indexed(data, pair_first, pair_second, group1, group2, method, alternative, permutations, processes,
                   engine::fast);
}

ztest_result reference_ztest_pipeline_indexed(CORRSHIFT_ZTEST_INDEXED_ARGS) {
    return indexed(data, pair_first, pair_second, group1, group2, method, alternative, permutations, processes,
                   engine::reference);
}

}  // namespace corrshift
