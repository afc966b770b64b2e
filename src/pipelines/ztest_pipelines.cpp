// The z-test cycles: per pair, both groups' correlations, their Fisher
// difference, its normal p-value and the permutation counts.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "compute.hpp"
#include "fast_call.hpp"
#include "reference_matrix.hpp"
#include "tie_targets.hpp"
#include "../run/phase_clock.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/tally.hpp"
#include "../stats/ties.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

namespace {

// The tanh an undefined observed difference is compared at: beyond every
// permuted value, as the observed cycle places it.
constexpr float kUndefinedTanh = std::numeric_limits<float>::infinity();

// What the permuted differences are compared with: under sound rules each
// observed difference moved by the tie tolerance of its pair.
struct tally_targets : tie_targets {
    tally_targets(const call_options& o, const pair_outputs& out, int32_t n) : tie_targets(o, out.z_diff, n) {}

    // After the observed cycle.
    void settle(const checked_inputs& in, const call_options& o, const pair_outputs& out) {
        if (!moved) return;
        float* m = moved.get();
        run_workers(in.pairs, o.threads, [&, m](int32_t begin, int32_t end) {
            tie_thresholds(o.alternative, out.z_diff + begin, out.corr1 + begin, out.corr2 + begin, in.n1, in.n2,
                           m + begin, end - begin);
        });
    }
};

// The straightforward path: each worker correlates its pairs in both
// groups into the cycle's targets; the calling thread tallies afterwards
// from scratch copies of the permuted differences.
void reference_ztest(const checked_inputs& in, const call_options& o, const pair_outputs& out, float se) {
    const int32_t n = in.pairs;
    auto perm_corr1 = make_scratch<float>(n), perm_corr2 = make_scratch<float>(n);
    auto perm_z = make_scratch<float>(n);
    reference_matrix matrix(in, o);
    tally_targets targets(o, out, n);
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
        [&](int32_t cycle) {
            if (cycle == 0) targets.settle(in, o, out);
            tally_cycle(o, cycle, targets.observed, perm_z.get(), out.extreme, out.undefined, n);
        });
}

// The p_normal array of a call. With permutations its storage holds the
// tanh of each observed difference, which the tally of every permutation
// cycle compares with, until the cycles are over and the normal p-values
// replace it; without, the observed cycle writes the p-values at once.
struct p_normal_storage {
    float* p;
    bool holds_tanh;  // permutation cycles follow the observed one
    float* observed_tanh() const { return holds_tanh ? p : nullptr; }
    float* p_values_of_observed_cycle() const { return holds_tanh ? nullptr : p; }
};

// The fast path: rows packed once per cycle, pairs computed tile by tile,
// each worker comparing its permuted differences with the observed ones at
// once.
void fast_ztest(const checked_inputs& in, const call_options& o, const pair_outputs& out, float se) {
    const int32_t n = in.pairs;
    fast_call rows;
    make_fast_call(rows, in, o);
    const pair_job pairs = pair_job_for(rows, in);
    const p_normal_storage p_normal{out.p_normal, o.permutations > 0};
    pair_writes observed{};
    observed.corr1 = out.corr1;
    observed.corr2 = out.corr2;
    observed.z_diff = out.z_diff;
    observed.p_normal = p_normal.p_values_of_observed_cycle();
    observed.z_tanh = p_normal.observed_tanh();
    observed.counts = out.extreme;
    observed.undefined = out.undefined;
    observed.alternative = o.alternative;
    observed.se = se;
    tally_targets targets(o, out, n);
    const pair_tally permuted{targets.observed, p_normal.observed_tanh(), out.extreme, out.undefined, o.alternative};
    const rule_kernels* kernels = rows.by_rules;
    const kernel_table* table = rows.kernels;
    run_cycles(
        make_plan(in, o),
        [&](const cycle_view& v) {
            pack_cycle_rows(rows, v);
            const pair_job* job = &pairs;
            const timed_phase timing(phase::pairs);
            if (v.cycle == 0) {
                const pair_writes* w = &observed;
                run_pair_workers(rows, [=](int32_t, int32_t begin, int32_t end) {
                    kernels->write_pairs(*job, *w, begin, end);
                });
            } else {
                const pair_tally* t = &permuted;
                run_pair_workers(rows, [=](int32_t, int32_t begin, int32_t end) {
                    kernels->tally_pairs(*job, *t, begin, end);
                });
            }
        },
        [&](int32_t cycle) {
            if (cycle != 0 || !targets.moved) return;
            // The tanh the tally compares with follows the moved values.
            targets.settle(in, o, out);
            const float* m = targets.moved.get();
            float* t = p_normal.observed_tanh();
            const tail alt = o.alternative;
            run_workers(n, o.threads, [=](int32_t begin, int32_t end) {
                table->tanh_block(m + begin, t + begin, end - begin);
                for (int32_t k = begin; k < end; ++k)
                    if (m[k] != m[k]) t[k] = alt == tail::less ? -kUndefinedTanh : kUndefinedTanh;
            });
        });
    if (p_normal.holds_tanh) {
        const tail alt = o.alternative;
        const float* z = out.z_diff;
        float* p = p_normal.p;
        run_workers(n, o.threads, [=](int32_t begin, int32_t end) {
            kernels->normal_pvalues(alt, z + begin, se, p + begin, end - begin);
        });
    }
}

}  // namespace

void compute_ztest(const checked_inputs& in, const call_options& options, const pair_outputs& out, kernel_path path) {
    const float se = difference_standard_error(in.n1, in.n2, options.spearman);
    (path == kernel_path::fast ? fast_ztest : reference_ztest)(in, options, out, se);
}

}  // namespace corrshift
