// The z-test cycles: per pair, both groups' correlations, their Fisher
// difference, its normal p-value and the permutation counts.
#include <algorithm>
#include <cstdint>

#include "compute.hpp"
#include "fast_rows.hpp"
#include "reference_matrix.hpp"
#include "../run/phase_clock.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/tally.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

namespace {

// The straightforward path: each worker correlates its pairs in both
// groups into the cycle's targets; the calling thread tallies afterwards
// from scratch copies of the permuted differences.
void reference_ztest(const checked_inputs& in, const call_options& o, const pair_outputs& out, float se) {
    const int32_t n = in.pairs;
    auto perm_corr1 = make_scratch<float>(n), perm_corr2 = make_scratch<float>(n);
    auto perm_z = make_scratch<float>(n);
    reference_matrix matrix(in, o);
    run_cycles(
        make_plan(in, o),
        [&](const cycle_view& v) {
            const bool observed = v.cycle == 0;
            float* c1 = observed ? out.corr1 : perm_corr1.get();
            float* c2 = observed ? out.corr2 : perm_corr2.get();
            float* z = observed ? out.z_diff : perm_z.get();
            float* p = observed ? out.p_normal : nullptr;
            const float* m = matrix.for_cycle(v);
            run_workers(n, o.threads, [=, &in](int32_t begin, int32_t end) {
                pair_statistics(m, in.samples, in.pair_first, in.pair_second, begin, end, in.features, v.group1,
                                v.group2, in.n1, in.n2, c1, c2, z, p, o.alternative, se, o.rules);
            });
        },
        [&](int32_t cycle) { tally_cycle(o, cycle, out.z_diff, perm_z.get(), out.extreme, out.undefined, n); });
}

// The fast path: rows packed once per cycle, pairs computed tile by tile,
// each worker comparing its permuted differences with the observed ones at
// once.
void fast_ztest(const checked_inputs& in, const call_options& o, const pair_outputs& out, float se) {
    const int32_t n = in.pairs;
    fast_rows rows;
    make_fast_rows(rows, in, o);
    pair_job observed = pair_job_for(rows, in);
    observed.alternative = o.alternative;
    observed.se = se;
    observed.counts = out.extreme;
    observed.undefined = out.undefined;
    pair_job permuted = observed;
    observed.corr1 = out.corr1;
    observed.corr2 = out.corr2;
    observed.z_diff = out.z_diff;
    permuted.z_observed = out.z_diff;
    // With permutations, p_normal's storage holds the tanh of each observed
    // difference for the tally until the end, when the p-values replace it.
    const bool tanh_in_p = o.permutations > 0;
    if (tanh_in_p)
        observed.z_tanh = permuted.z_tanh = out.p_normal;
    else
        observed.p_normal = out.p_normal;
    const rule_kernels* kernels = rows.by_rules;
    run_cycles(
        make_plan(in, o),
        [&](const cycle_view& v) {
            pack_cycle_rows(rows, v);
            const pair_job* job = v.cycle == 0 ? &observed : &permuted;
            const timed_phase timing(phase::pairs);
            run_pair_workers(rows, [=](int32_t, int32_t begin, int32_t end) { kernels->pair_range(*job, begin, end); });
        },
        [](int32_t) {});
    if (tanh_in_p) {
        const tail alt = o.alternative;
        const float* z = out.z_diff;
        float* p = out.p_normal;
        run_workers(n, o.threads, [=](int32_t begin, int32_t end) {
            for (int32_t k = begin; k < end; ++k) p[k] = normal_pvalue(alt, z[k], se);
        });
    }
}

}  // namespace

void compute_ztest(const checked_inputs& in, const call_options& options, const pair_outputs& out, engine e) {
    const float se = difference_standard_error(in.n1, in.n2, options.spearman);
    (e == engine::fast ? fast_ztest : reference_ztest)(in, options, out, se);
}

}  // namespace corrshift
