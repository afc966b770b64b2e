// The score cycles: per feature, or per run of listed pairs sharing their
// first feature, an aggregate of the Fisher differences with its
// permutation counts.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "compute.hpp"
#include "fast_rows.hpp"
#include "reference_matrix.hpp"
#include "../run/phase_clock.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/fast_scores.hpp"
#include "../stats/score.hpp"
#include "../stats/tally.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

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

namespace {

// Both groups' correlations and the Fisher differences of every pair
// position, rewritten each cycle by the straightforward workers.
struct pair_buffers {
    float* corr1;
    float* corr2;
    float* z_diff;
};

// The straightforward path: `phases(view, matrix, buffers, target)` fills
// one score per unit into target (the observed scores in cycle 0, scratch
// afterwards); the calling thread tallies the permuted scores.
template <class Phases>
void reference_score_cycles(const checked_inputs& in, const call_options& o, int32_t units, const unit_outputs& out,
                            Phases&& phases) {
    const auto pairs = static_cast<size_t>(in.pairs);
    auto corr1 = make_scratch<float>(pairs), corr2 = make_scratch<float>(pairs), z_diff = make_scratch<float>(pairs);
    const pair_buffers buffers{corr1.get(), corr2.get(), z_diff.get()};
    auto perm_scores = make_scratch<float>(units);
    reference_matrix matrix(in, o);
    run_cycles(
        make_plan(in, o),
        [&](const cycle_view& v) {
            phases(v, matrix.for_cycle(v), buffers, v.cycle == 0 ? out.scores : perm_scores.get());
        },
        [&](int32_t cycle) { tally_cycle(o, cycle, out.scores, perm_scores.get(), out.extreme, out.valid, units); });
}

// The pair statistics of positions [begin, end) for a score: differences
// only, under the call's rules.
void score_pairs(const checked_inputs& in, const call_options& o, const float* matrix, const cycle_view& v,
                 const pair_buffers& b, int32_t begin, int32_t end) {
    pair_statistics(matrix, in.samples, in.pair_first, in.pair_second, begin, end, in.features, v.group1, v.group2,
                    in.n1, in.n2, b.corr1, b.corr2, b.z_diff, nullptr, tail::two_sided, 0.0f, o.rules);
}

// A pair job that counts median hits against the thresholds (first
// `stride` floats) and their tanh (next `stride`) instead of writing
// differences; the counters are the caller's to set.
pair_job median_counting_job(const fast_rows& rows, const checked_inputs& in, const call_options& o,
                             float* thresholds, size_t stride) {
    pair_job job = pair_job_for(rows, in);
    job.median_threshold = thresholds;
    job.median_tanh = thresholds + stride;
    job.median_magnitude = o.alternative == tail::two_sided;
    job.median_not_above = o.alternative == tail::less;
    return job;
}

// The fast path: `phases(view, job)` packs the rows, computes the Fisher
// differences and settles every unit of `job`, tally included.
template <class Phases>
void fast_score_cycles(const checked_inputs& in, const call_options& o, const unit_outputs& out, fast_rows& rows,
                       Phases&& phases) {
    score_job observed{};
    observed.features = in.features;
    observed.rules = o.rules;
    observed.mean = o.mean;
    observed.magnitude = o.alternative == tail::two_sided;
    observed.alternative = o.alternative;
    observed.scores = out.scores;
    observed.counts = out.extreme;
    observed.valid = out.valid;
    score_job permuted = observed;
    permuted.observed = out.scores;
    run_cycles(
        make_plan(in, o),
        [&](const cycle_view& v) {
            pack_cycle_rows(rows, v);
            phases(v, v.cycle == 0 ? observed : permuted);
        },
        [](int32_t) {});
}

}  // namespace

void compute_feature_scores(const checked_inputs& in, const call_options& o, const unit_outputs& out, engine e) {
    const int32_t n = in.pairs;
    const int32_t threads = o.threads;
    if (e == engine::reference) {
        const score_rule rule = make_score_rule(o.mean, o.alternative, o.rules);
        reference_score_cycles(in, o, in.features, out,
                               [&](const cycle_view& v, const float* matrix, pair_buffers b, float* target) {
                                   run_workers(n, threads, [=, &in, &o](int32_t begin, int32_t end) {
                                       score_pairs(in, o, matrix, v, b, begin, end);
                                   });
                                   run_workers(in.features, threads, [=](int32_t begin, int32_t end) {
                                       score_features(b.z_diff, in.features, begin, end, target, rule);
                                   });
                               });
        return;
    }
    fast_rows rows;
    make_fast_rows(rows, in, o);
    auto z_diff = make_scratch<float>(n);
    const int32_t slots = std::min(threads, std::max(in.features, 1));
    const auto per_worker = static_cast<size_t>(kFeatureBlock) * static_cast<size_t>(in.features);
    auto lists = make_scratch<float>(static_cast<size_t>(slots) * per_worker);
    // Permuted medians are decided by counting in the pair kernel: each
    // worker of the pair positions keeps its own counts per feature.
    const int32_t counters = rows.pair_workers;
    const int32_t padded = rows.blocks * rows.kernels->width;
    const auto stride = static_cast<size_t>(padded);
    const bool count_medians = !o.mean;
    auto hits = make_scratch<uint32_t>(count_medians ? counters * stride : 0);
    auto numbers = make_scratch<uint32_t>(count_medians ? counters * stride : 0);
    auto thresholds = make_scratch<float>(count_medians ? 2 * stride : 0);
    pair_job pairs = pair_job_for(rows, in);
    pairs.z_diff = z_diff.get();
    std::vector<pair_job> counting;
    if (count_medians) {
        pair_job job = median_counting_job(rows, in, o, thresholds.get(), stride);
        for (int32_t w = 0; w < counters; ++w) {
            job.median_hits = hits.get() + static_cast<size_t>(w) * stride;
            job.median_numbers = numbers.get() + static_cast<size_t>(w) * stride;
            counting.push_back(job);
        }
    }
    const rule_kernels* kernels = rows.by_rules;
    fast_score_cycles(in, o, out, rows, [&](const cycle_view& v, score_job& job) {
        job.z_diff = z_diff.get();
        const score_job* sj = &job;
        if (count_medians && v.cycle > 0) {
            if (v.cycle == 1) median_thresholds(job, in.features, thresholds.get(), thresholds.get() + stride, padded);
            const pair_job* jobs = counting.data();
            {
                const timed_phase timing(phase::pairs);
                run_pair_workers(rows, [=](int32_t worker, int32_t begin, int32_t end) {
                    const pair_job& pj = jobs[worker];
                    std::fill_n(pj.median_hits, stride, 0u);
                    std::fill_n(pj.median_numbers, stride, 0u);
                    kernels->pair_range(pj, begin, end);
                });
            }
            const timed_phase timing(phase::units);
            const uint32_t* h = hits.get();
            const uint32_t* c = numbers.get();
            run_workers(in.features, threads, [=](int32_t begin, int32_t end) {
                settle_feature_medians(*sj, h, c, counters, padded, begin, end);
            });
            return;
        }
        const pair_job* pj = &pairs;
        {
            const timed_phase timing(phase::pairs);
            run_pair_workers(rows, [=](int32_t, int32_t begin, int32_t end) { kernels->pair_range(*pj, begin, end); });
        }
        const timed_phase timing(phase::units);
        float* scratch = lists.get();
        run_numbered_workers(in.features, threads, [=](int32_t worker, int32_t begin, int32_t end) {
            feature_scores(*sj, scratch + static_cast<size_t>(worker) * per_worker, begin, end);
        });
    });
}

void compute_run_scores(const checked_inputs& in, const run_table& runs, const call_options& o,
                        const unit_outputs& out, engine e) {
    const auto g = static_cast<int32_t>(runs.first.size());
    const int32_t threads = o.threads;
    const int32_t n = in.pairs;
    const int32_t* start = runs.start.data();
    const int32_t* stop = runs.end.data();
    if (e == engine::reference) {
        const score_rule rule = make_score_rule(o.mean, o.alternative, o.rules);
        // Each worker computes the pairs of its runs, then scores them.
        reference_score_cycles(in, o, g, out, [&](const cycle_view& v, const float* matrix, pair_buffers b, float* target) {
            run_workers(g, threads, [=, &in, &o](int32_t begin, int32_t end) {
                if (begin >= end) return;
                score_pairs(in, o, matrix, v, b, start[begin], stop[end - 1]);
                score_runs(b.z_diff, start, stop, begin, end, target, rule);
            });
        });
        return;
    }
    fast_rows rows;
    make_fast_rows(rows, in, o);
    auto z_diff = make_scratch<float>(n);
    int32_t longest = 0;
    for (int32_t r = 0; r < g; ++r) longest = std::max(longest, stop[r] - start[r]);
    const int32_t slots = std::min(threads, std::max(g, 1));
    auto lists = make_scratch<float>(static_cast<size_t>(slots) * static_cast<size_t>(longest));
    pair_job pairs = pair_job_for(rows, in);
    pairs.z_diff = z_diff.get();
    const rule_kernels* kernels = rows.by_rules;
    // Runs differ in length, so each worker takes the runs that begin in
    // its share of the pair positions: about equal pair counts.
    std::vector<int32_t> cuts(static_cast<size_t>(slots) + 1, g);
    for (int32_t w = 0; w < slots; ++w)
        cuts[static_cast<size_t>(w)] = static_cast<int32_t>(
            std::lower_bound(start, start + g, static_cast<int64_t>(n) * w / slots) - start);
    const int32_t* cut = cuts.data();
    // Permuted medians are decided by counting in the pair kernel, each
    // run's counts kept by the worker that owns the run.
    const bool count_medians = !o.mean;
    const auto units = static_cast<size_t>(count_medians ? g : 0);
    auto hits = make_scratch<uint32_t>(units), numbers = make_scratch<uint32_t>(units);
    auto thresholds = make_scratch<float>(2 * units);
    pair_job counting = median_counting_job(rows, in, o, thresholds.get(), units);
    counting.median_hits = hits.get();
    counting.median_numbers = numbers.get();
    counting.median_run_start = start;
    counting.median_run_stop = stop;
    counting.median_runs = g;
    fast_score_cycles(in, o, out, rows, [&](const cycle_view& v, score_job& job) {
        job.z_diff = z_diff.get();
        const score_job* sj = &job;
        if (count_medians && v.cycle > 0) {
            if (v.cycle == 1) median_thresholds(job, g, thresholds.get(), thresholds.get() + units, g);
            const pair_job* cj = &counting;
            run_cut_workers(cut, slots, [=](int32_t, int32_t begin, int32_t end) {
                if (begin >= end) return;
                std::fill(cj->median_hits + begin, cj->median_hits + end, 0u);
                std::fill(cj->median_numbers + begin, cj->median_numbers + end, 0u);
                kernels->pair_range(*cj, start[begin], stop[end - 1]);
                settle_run_medians(*sj, cj->median_hits, cj->median_numbers, start, stop, begin, end);
            });
            return;
        }
        const pair_job* pj = &pairs;
        float* scratch = lists.get();
        // Each worker computes the pairs of its runs, from its first
        // run's start to its last run's end, then settles its runs.
        run_cut_workers(cut, slots, [=](int32_t worker, int32_t begin, int32_t end) {
            if (begin >= end) return;
            kernels->pair_range(*pj, start[begin], stop[end - 1]);
            run_scores(*sj, start, stop, scratch + static_cast<size_t>(worker) * static_cast<size_t>(longest), begin,
                       end);
        });
    });
}

}  // namespace corrshift
