// Z-test pipelines: per pair, both groups' correlations, their Fisher
// difference, its normal p-value and a permutation p-value.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "pipelines.hpp"
#include "plan.hpp"
#include "tally.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

namespace {

ztest_result run_ztest(const checked_inputs& in, const std::string& method, const std::string& alternative,
                       int32_t permutations, int processes) {
    // The process count is used as given (the pair count may be 0).
    const int32_t threads = effective_threads(processes, std::numeric_limits<int32_t>::max());
    const int32_t n = in.pairs;
    float_output corr1(n), corr2(n), z_diff(n), p_normal(n), p_permutation(n);
    // Permutation cycles write their correlations and differences here.
    auto perm_corr1 = make_scratch<float>(n), perm_corr2 = make_scratch<float>(n);
    auto perm_z = make_scratch<float>(n);
    auto counts = make_scratch<uint32_t>(n);
    const tail alt = parse_tail(alternative);

    run_cycles(
        make_plan(in, method, permutations, threads),
        [&](const cycle_view& v) {
            const bool observed = v.cycle == 0;
            float* c1 = observed ? corr1.mutable_data() : perm_corr1.get();
            float* c2 = observed ? corr2.mutable_data() : perm_corr2.get();
            float* z = observed ? z_diff.mutable_data() : perm_z.get();
            float* p = observed ? p_normal.mutable_data() : nullptr;
            run_workers(n, threads, [=](int32_t begin, int32_t end) {
                ztest_worker(v.matrix, in.samples, in.pair_first, in.pair_second, begin, end, in.features,
                             v.group1, v.group2, in.n1, in.n2, c1, c2, z, p, method, alternative);
            });
        },
        [&](int32_t cycle) {
            if (cycle == 0)
                std::fill_n(counts.get(), n, 0u);
            else
                tally_extremes(alt, z_diff.data(), perm_z.get(), counts.get(), n);
        });
    finish_fractions(counts.get(), p_permutation.mutable_data(), n, permutations);
    return {std::move(corr1), std::move(corr2), std::move(z_diff), std::move(p_normal), std::move(p_permutation)};
}

}  // namespace

ztest_result ztest_pipeline_exhaustive(const float_input& data, const int_input& group1, const int_input& group2,
                                       std::string method, std::string alternative, int permutations,
                                       int processes) {
    const checked_inputs in = check_inputs(data, nullptr, nullptr, group1, group2, permutations);
    return run_ztest(in, method, alternative, permutations, processes);
}

ztest_result ztest_pipeline_indexed(const float_input& data, const int_input& pair_first,
                                    const int_input& pair_second, const int_input& group1,
                                    const int_input& group2, std::string method, std::string alternative,
                                    int permutations, int processes) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    return run_ztest(in, method, alternative, permutations, processes);
}

}  // namespace corrshift
