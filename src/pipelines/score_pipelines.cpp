// Score pipelines: per feature, or per run of listed pairs sharing their
// first feature, an aggregate of the Fisher differences with a permutation
// p-value.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "fast_rows.hpp"
#include "pipelines.hpp"
#include "plan.hpp"
#include "tally.hpp"
#include "../run/phase_clock.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/correlation.hpp"
#include "../stats/fast_scores.hpp"
#include "../stats/score.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

namespace {

// Both groups' correlations and the Fisher differences of every pair
// position, rewritten each cycle by the straightforward workers.
struct pair_buffers {
    float* corr1;
    float* corr2;
    float* z_diff;
};

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

// What a score pipeline call computes: per unit (feature or run) a score
// and a p-value.
struct score_call {
    const checked_inputs* in;
    std::string method, aggregate, alternative;
    int32_t permutations;
    int32_t threads;
    int32_t units;
    float* scores;
    float* pvalues;
};

// The straightforward path: `phases(view, matrix, buffers, target)` fills
// one score per unit into target (the observed scores in cycle 0, scratch
// afterwards); the calling thread tallies the permuted scores.
template <class Phases>
void reference_score_cycles(const score_call& call, Phases&& phases) {
    const auto pairs = static_cast<size_t>(call.in->pairs);
    auto corr1 = make_scratch<float>(pairs), corr2 = make_scratch<float>(pairs), z_diff = make_scratch<float>(pairs);
    const pair_buffers buffers{corr1.get(), corr2.get(), z_diff.get()};
    auto perm_scores = make_scratch<float>(call.units);
    auto counts = make_scratch<uint32_t>(call.units);
    const tail alt = parse_tail(call.alternative);
    reference_matrix matrix(*call.in, call.method == kSpearman, call.threads);
    run_cycles(
        make_plan(*call.in, call.permutations),
        [&](const cycle_view& v) {
            phases(v, matrix.for_cycle(v), buffers, v.cycle == 0 ? call.scores : perm_scores.get());
        },
        [&](int32_t cycle) {
            if (cycle == 0)
                std::fill_n(counts.get(), call.units, 0u);
            else
                tally_extremes(alt, call.scores, perm_scores.get(), counts.get(), call.units);
        });
    finish_fractions(counts.get(), call.pvalues, call.units, call.permutations);
}

// A pair job that counts median hits against the thresholds (first
// `stride` floats) and their tanh (next `stride`) instead of writing
// differences; the counters are the caller's to set.
pair_job median_counting_job(const fast_rows& rows, const score_call& call, float* thresholds, size_t stride) {
    pair_job job = pair_job_for(rows, *call.in);
    job.median_threshold = thresholds;
    job.median_tanh = thresholds + stride;
    job.median_magnitude = call.alternative == kTwoSided;
    job.median_not_above = call.alternative == kLess;
    return job;
}

// The fast path: `phases(view, job)` packs the rows, computes the Fisher
// differences and settles every unit of `job`, tally included; the counts
// live in pvalues until the end.
template <class Phases>
void fast_score_cycles(const score_call& call, fast_rows& rows, Phases&& phases) {
    score_job observed{};
    observed.features = call.in->features;
    observed.mean = call.aggregate == kMean;
    observed.magnitude = call.alternative == kTwoSided;
    observed.alternative = parse_tail(call.alternative);
    observed.scores = call.scores;
    observed.counts = counts_in(call.pvalues);
    score_job permuted = observed;
    permuted.observed = call.scores;
    run_cycles(
        make_plan(*call.in, call.permutations),
        [&](const cycle_view& v) {
            pack_cycle_rows(rows, v);
            phases(v, v.cycle == 0 ? observed : permuted);
        },
        [](int32_t) {});
    finish_fractions_in_place(call.pvalues, call.units, call.permutations);
}

score_result exhaustive(const float_input& data, const int_input& group1, const int_input& group2,
                        const std::string& method, const std::string& aggregate, const std::string& alternative,
                        int permutations, int processes, engine e) {
    const checked_inputs in = check_inputs(data, nullptr, nullptr, group1, group2, permutations);
    check_aggregate(aggregate);
    const int32_t threads = effective_threads(processes, in.features);
    const int32_t n = in.pairs;
    float_output scores(in.features), pvalues(in.features);
    const score_call call{&in,     method,  aggregate,          alternative,           permutations,
                          threads, in.features, scores.mutable_data(), pvalues.mutable_data()};
    if (e == engine::reference) {
        reference_score_cycles(call, [&](const cycle_view& v, const float* matrix, pair_buffers b, float* target) {
            run_workers(n, threads, [=](int32_t begin, int32_t end) {
                ztest_worker(matrix, in.samples, nullptr, nullptr, begin, end, in.features, v.group1, v.group2,
                             in.n1, in.n2, b.corr1, b.corr2, b.z_diff, nullptr, method, kTwoSided);
            });
            run_workers(in.features, threads, [=](int32_t begin, int32_t end) {
                feature_score_worker(b.z_diff, in.features, begin, end, target, aggregate, alternative);
            });
        });
    } else {
        fast_rows rows;
        make_fast_rows(rows, in, method == kSpearman, threads, permutations);
        auto z_diff = make_scratch<float>(n);
        const int32_t slots = std::min(threads, std::max(in.features, 1));
        auto lists = make_scratch<float>(static_cast<size_t>(slots) * 16 * static_cast<size_t>(in.features));
        // Permuted medians are decided by counting in the pair kernel: each
        // worker of the pair positions keeps its own counts per feature.
        const int32_t counters = rows.pair_workers;
        const int32_t padded = rows.blocks * rows.kernels->width;
        const auto stride = static_cast<size_t>(padded);
        const bool count_medians = call.aggregate != kMean;
        auto hits = make_scratch<uint32_t>(count_medians ? counters * stride : 0);
        auto numbers = make_scratch<uint32_t>(count_medians ? counters * stride : 0);
        auto thresholds = make_scratch<float>(count_medians ? 2 * stride : 0);
        pair_job pairs = pair_job_for(rows, in);
        pairs.z_diff = z_diff.get();
        std::vector<pair_job> counting;
        if (count_medians) {
            pair_job job = median_counting_job(rows, call, thresholds.get(), stride);
            for (int32_t w = 0; w < counters; ++w) {
                job.median_hits = hits.get() + static_cast<size_t>(w) * stride;
                job.median_numbers = numbers.get() + static_cast<size_t>(w) * stride;
                counting.push_back(job);
            }
        }
        const kernel_table* kernels = rows.kernels;
        fast_score_cycles(call, rows, [&](const cycle_view& v, score_job& job) {
            job.z_diff = z_diff.get();
            const score_job* sj = &job;
            if (count_medians && v.cycle > 0) {
                if (v.cycle == 1)
                    median_thresholds(job, in.features, thresholds.get(), thresholds.get() + stride, padded);
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
            const auto per_worker = static_cast<size_t>(16) * static_cast<size_t>(in.features);
            run_numbered_workers(in.features, threads, [=](int32_t worker, int32_t begin, int32_t end) {
                feature_scores(*sj, scratch + static_cast<size_t>(worker) * per_worker, begin, end);
            });
        });
    }
    return {std::move(scores), std::move(pvalues)};
}

// Reference worker of the indexed score pipeline: the pairs of the runs
// [begin, end), both groups' correlations and their Fisher differences,
// then one score per run into target.
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

run_score_result indexed(const float_input& data, const int_input& pair_first, const int_input& pair_second,
                         const int_input& group1, const int_input& group2, const std::string& method,
                         const std::string& aggregate, const std::string& alternative, int permutations,
                         int processes, engine e) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    check_aggregate(aggregate);
    const run_table runs = decompose_runs(in.pair_first, in.pairs);
    const auto g = static_cast<int32_t>(runs.first.size());
    const int32_t threads = effective_threads(processes, g);
    const int32_t n = in.pairs;
    const int32_t* start = runs.start.data();
    const int32_t* stop = runs.end.data();

    int_output run_firsts(g);
    std::copy(runs.first.begin(), runs.first.end(), run_firsts.mutable_data());
    float_output scores(g), pvalues(g);
    const score_call call{&in, method, aggregate, alternative, permutations, threads, g, scores.mutable_data(),
                          pvalues.mutable_data()};
    if (e == engine::reference) {
        reference_score_cycles(call, [&](const cycle_view& v, const float* matrix, pair_buffers b, float* target) {
            run_workers(g, threads, [=](int32_t begin, int32_t end) {
                run_score_worker(matrix, in.samples, in.pair_first, in.pair_second, v.group1, v.group2, in.n1,
                                 in.n2, b.corr1, b.corr2, b.z_diff, start, stop, begin, end, target, method,
                                 alternative, aggregate);
            });
        });
    } else {
        fast_rows rows;
        make_fast_rows(rows, in, method == kSpearman, threads, permutations);
        auto z_diff = make_scratch<float>(n);
        int32_t longest = 0;
        for (int32_t r = 0; r < g; ++r) longest = std::max(longest, stop[r] - start[r]);
        const int32_t slots = std::min(threads, std::max(g, 1));
        auto lists = make_scratch<float>(static_cast<size_t>(slots) * static_cast<size_t>(longest));
        pair_job pairs = pair_job_for(rows, in);
        pairs.z_diff = z_diff.get();
        const kernel_table* kernels = rows.kernels;
        // Runs differ in length, so each worker takes the runs that begin in
        // its share of the pair positions: about equal pair counts.
        std::vector<int32_t> cuts(static_cast<size_t>(slots) + 1, g);
        for (int32_t w = 0; w < slots; ++w)
            cuts[static_cast<size_t>(w)] = static_cast<int32_t>(
                std::lower_bound(start, start + g, static_cast<int64_t>(n) * w / slots) - start);
        const int32_t* cut = cuts.data();
        // Permuted medians are decided by counting in the pair kernel, each
        // run's counts kept by the worker that owns the run.
        const bool count_medians = call.aggregate != kMean;
        const auto units = static_cast<size_t>(count_medians ? g : 0);
        auto hits = make_scratch<uint32_t>(units), numbers = make_scratch<uint32_t>(units);
        auto thresholds = make_scratch<float>(2 * units);
        pair_job counting = median_counting_job(rows, call, thresholds.get(), units);
        counting.median_hits = hits.get();
        counting.median_numbers = numbers.get();
        counting.median_run_start = start;
        counting.median_run_stop = stop;
        counting.median_runs = g;
        fast_score_cycles(call, rows, [&](const cycle_view& v, score_job& job) {
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
                run_scores(*sj, start, stop, scratch + static_cast<size_t>(worker) * static_cast<size_t>(longest),
                           begin, end);
            });
        });
    }
    return {std::move(run_firsts), std::move(scores), std::move(pvalues)};
}

}  // namespace

score_result score_pipeline_exhaustive(CORRSHIFT_SCORE_EXHAUSTIVE_ARGS) {
    return exhaustive(data, group1, group2, method, aggregate, alternative, permutations, processes, engine::fast);
}

score_result reference_score_pipeline_exhaustive(CORRSHIFT_SCORE_EXHAUSTIVE_ARGS) {
    return exhaustive(data, group1, group2, method, aggregate, alternative, permutations, processes,
                      engine::reference);
}

run_score_result score_pipeline_indexed(CORRSHIFT_SCORE_INDEXED_ARGS) {
    return indexed(data, pair_first, pair_second, group1, group2, method, aggregate, alternative, permutations,
                   processes, engine::fast);
}

run_score_result reference_score_pipeline_indexed(CORRSHIFT_SCORE_INDEXED_ARGS) {
    return indexed(data, pair_first, pair_second, group1, group2, method, aggregate, alternative, permutations,
                   processes, engine::reference);
}

}  // namespace corrshift
