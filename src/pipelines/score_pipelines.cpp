// The score cycles: per feature, or per run of listed pairs sharing their
// first feature, an aggregate of the Fisher differences with its
// permutation counts.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "compute.hpp"
#include "fast_call.hpp"
#include "reference_matrix.hpp"
#include "tie_targets.hpp"
#include "../run/phase_clock.hpp"
#include "../run/scratch.hpp"
#include "../run/workers.hpp"
#include "../stats/fast_scores.hpp"
#include "../stats/score.hpp"
#include "../stats/tally.hpp"
#include "../stats/ties.hpp"
#include "../stats/ztest.hpp"

namespace corrshift {

pair_units decompose_runs(const int32_t* pair_first, int32_t n) {
    pair_units runs;
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
// position: rewritten each cycle by the straightforward workers; the
// observed cycle's in the fast path, where the correlations are written
// only when the scores' tie thresholds need them.
struct pair_buffers {
    float* corr1;
    float* corr2;
    float* z_diff;
};

// The straightforward path: each cycle the units' reference_cycle fills
// one score per unit (the observed scores in cycle 0, scratch afterwards);
// the calling thread tallies the permuted scores.
template <class Units>
void reference_score_cycles(const checked_inputs& in, const call_options& o, const Units& units,
                            const unit_outputs& out) {
    const auto pairs = static_cast<size_t>(in.pairs);
    auto corr1 = make_scratch<float>(pairs), corr2 = make_scratch<float>(pairs), z_diff = make_scratch<float>(pairs);
    const pair_buffers buffers{corr1.get(), corr2.get(), z_diff.get()};
    auto perm_scores = make_scratch<float>(units.units);
    reference_matrix matrix(in, o);
    tie_targets targets(o, out.scores, units.units);
    run_cycles(
        make_plan(in, o),
        [&](const cycle_view& v) {
            units.reference_cycle(in, o, matrix.for_cycle(v), v, buffers,
                                  v.cycle == 0 ? out.scores : perm_scores.get());
        },
        [&](int32_t cycle) {
            if (cycle == 0 && targets.moved) units.tie_thresholds(in, o, buffers, out.scores, targets.moved.get());
            tally_cycle(o, cycle, targets.observed, perm_scores.get(), out.extreme, out.undefined, units.units);
        });
}

// The pair statistics of positions [begin, end) for a score: differences
// only, under the call's rules.
void score_pairs(const checked_inputs& in, const call_options& o, const float* matrix, const cycle_view& v,
                 const pair_buffers& b, int32_t begin, int32_t end) {
    pair_statistics(matrix, in.samples, in.pair_first, in.pair_second, begin, end, in.features, v.group1, v.group2,
                    in.n1, in.n2, b.corr1, b.corr2, b.z_diff, nullptr, tail::two_sided, 0.0f, o.rules);
}

// The fast path's state that every kind of unit shares: the packed rows,
// the pairs over them, the cycle's Fisher differences and what writes them,
// and the thresholds of the permuted medians.
struct fast_scores {
    const checked_inputs* in;
    const call_options* o;
    fast_call rows;
    scratch<float> z_diff;
    pair_job pairs{};
    pair_writes differences{};
    const rule_kernels* kernels = nullptr;
    scratch<float> thresholds;  // per unit (padded): the observed score's threshold, then its tanh
    size_t stride = 0;

    fast_scores(const checked_inputs& inputs, const call_options& options) : in(&inputs), o(&options) {
        make_fast_call(rows, inputs, options);
        z_diff = make_scratch<float>(static_cast<size_t>(inputs.pairs));
        pairs = pair_job_for(rows, inputs);
        differences.z_diff = z_diff.get();
        differences.alternative = tail::unknown;
        kernels = rows.by_rules;
    }

    // Median scores: thresholds for `padded` units (the units' and beyond).
    void make_thresholds(int32_t padded) {
        stride = static_cast<size_t>(padded);
        thresholds = make_scratch<float>(o->mean ? 0 : 2 * stride);
    }

    // Median hits counted against the thresholds instead of differences
    // written; the counters (and runs) are the caller's to set.
    median_counts median_counting() const {
        median_counts counts{};
        counts.threshold = thresholds.get();
        counts.tanh = thresholds.get() + stride;
        counts.magnitude = o->alternative == tail::two_sided;
        counts.not_above = o->alternative == tail::less;
        return counts;
    }

    // The Fisher differences of the pair positions [begin, end) written.
    void write_differences(int32_t begin, int32_t end) const { kernels->write_pairs(pairs, differences, begin, end); }
};

// Features of the exhaustive pair order (or of the rectangle of two sets):
// the pair phase splits the positions among its workers, which count permuted medians per
// feature in arrays of their own; a feature phase then settles each
// feature from its K - 1 differences (or sums the workers' counts).
struct feature_units {
    int32_t units;
    int32_t per_worker_lists = 0;
    scratch<float> lists;
    scratch<uint32_t> hits, numbers;
    std::vector<median_counts> counting;

    explicit feature_units(const checked_inputs& in) : units(in.features) {}

    // The pair kernel's per-feature arrays cover whole panel blocks.
    static int32_t padded_units(const fast_scores& f) { return f.rows.blocks * f.rows.kernels->width; }

    void reference_cycle(const checked_inputs& in, const call_options& o, const float* matrix, const cycle_view& v,
                         const pair_buffers& b, float* target) const {
        const score_rule rule = make_score_rule(o.mean, o.alternative, o.rules);
        run_workers(in.pairs, o.threads, [=, &in, &o](int32_t begin, int32_t end) {
            score_pairs(in, o, matrix, v, b, begin, end);
        });
        run_workers(in.features, o.threads, [=, &in](int32_t begin, int32_t end) {
            score_features(b.z_diff, in.features, begin, end, target, rule, in.between);
        });
    }

    // moved[i] = the tie threshold of feature i's observed score, from the
    // observed cycle's pairs b (stats/ties.hpp).
    void tie_thresholds(const checked_inputs& in, const call_options& o, const pair_buffers& b, const float* scores,
                        float* moved) const {
        const int32_t k = in.features;
        run_workers(units, o.threads, [=, &in, &o](int32_t begin, int32_t end) {
            // Each feature's pairs gathered: differences, both correlations, and the threshold's scratch.
            std::vector<float> gathered(4 * static_cast<size_t>(k));
            float* z = gathered.data();
            float* r1 = z + k;
            float* r2 = r1 + k;
            for (int32_t i = begin; i < end; ++i) {
                int32_t count = 0;
                for (const int32_t p : feature_pair_positions(i, k, in.between)) {
                    if (p < 0) continue;
                    z[count] = b.z_diff[p];
                    r1[count] = b.corr1[p];
                    r2[count] = b.corr2[p];
                    ++count;
                }
                moved[i] = score_tie_threshold(o.alternative, o.mean, scores[i], z, r1, r2, count, in.n1, in.n2,
                                               r2 + k);
            }
        });
    }

    void prepare(fast_scores& f) {
        const int32_t slots = std::min(f.o->threads, std::max(units, 1));
        per_worker_lists = kFeatureBlock * units;
        lists = make_scratch<float>(static_cast<size_t>(slots) * static_cast<size_t>(per_worker_lists));
        if (f.o->mean) return;
        const size_t stride = f.stride;
        const int32_t counters = f.rows.pair_workers;
        hits = make_scratch<uint32_t>(counters * stride);
        numbers = make_scratch<uint32_t>(counters * stride);
        median_counts counts = f.median_counting();
        for (int32_t w = 0; w < counters; ++w) {
            counts.hits = hits.get() + static_cast<size_t>(w) * stride;
            counts.numbers = numbers.get() + static_cast<size_t>(w) * stride;
            counting.push_back(counts);
        }
    }

    void settle_cycle(const fast_scores& f, const score_job& job) const {
        const fast_scores* fs = &f;
        {
            const timed_phase timing(phase::pairs);
            run_pair_workers(f.rows, [=](int32_t, int32_t begin, int32_t end) { fs->write_differences(begin, end); });
        }
        const timed_phase timing(phase::units);
        float* scratch = lists.get();
        const auto per_worker = static_cast<size_t>(per_worker_lists);
        const score_job* sj = &job;
        run_numbered_workers(units, f.o->threads, [=](int32_t worker, int32_t begin, int32_t end) {
            feature_scores(*sj, scratch + static_cast<size_t>(worker) * per_worker, begin, end);
        });
    }

    void count_cycle(const fast_scores& f, const score_job& job) const {
        const median_counts* per_worker = counting.data();
        const pair_job* pj = &f.pairs;
        const rule_kernels* kernels = f.kernels;
        const size_t stride = f.stride;
        {
            const timed_phase timing(phase::pairs);
            run_pair_workers(f.rows, [=](int32_t worker, int32_t begin, int32_t end) {
                const median_counts& mc = per_worker[worker];
                std::fill_n(mc.hits, stride, 0u);
                std::fill_n(mc.numbers, stride, 0u);
                kernels->count_medians(*pj, mc, begin, end);
            });
        }
        const timed_phase timing(phase::units);
        const uint32_t* h = hits.get();
        const uint32_t* c = numbers.get();
        const int32_t counters = f.rows.pair_workers, pad = static_cast<int32_t>(f.stride);
        const score_job* sj = &job;
        run_workers(units, f.o->threads, [=](int32_t begin, int32_t end) {
            settle_feature_medians(*sj, h, c, counters, pad, begin, end);
        });
    }
};

// Units of listed pairs (runs sharing their first feature, or the caller's
// sets), unit u covering positions [start[u], stop[u]): each worker takes
// the units that begin in its share of the pair positions (units differ in
// length), computes their pairs and settles them; permuted medians are
// counted per unit by the worker that owns it.
struct listed_units {
    int32_t units;
    const int32_t* start;
    const int32_t* stop;
    int32_t slots = 1;
    int32_t longest = 0;
    std::vector<int32_t> cuts;
    scratch<float> lists;
    scratch<uint32_t> hits, numbers;
    median_counts counting{};

    explicit listed_units(const pair_units& runs)
        : units(static_cast<int32_t>(runs.first.size())), start(runs.start.data()), stop(runs.end.data()) {}

    int32_t padded_units(const fast_scores&) const { return units; }

    void reference_cycle(const checked_inputs& in, const call_options& o, const float* matrix, const cycle_view& v,
                         const pair_buffers& b, float* target) const {
        const score_rule rule = make_score_rule(o.mean, o.alternative, o.rules);
        const int32_t* first = start;
        const int32_t* last = stop;
        // Each worker computes the pairs of its units, then scores them.
        run_workers(units, o.threads, [=, &in, &o](int32_t begin, int32_t end) {
            if (begin >= end) return;
            score_pairs(in, o, matrix, v, b, first[begin], last[end - 1]);
            score_runs(b.z_diff, first, last, begin, end, target, rule);
        });
    }

    // moved[g] = the tie threshold of unit g's observed score, from the
    // observed cycle's pairs b (stats/ties.hpp).
    void tie_thresholds(const checked_inputs& in, const call_options& o, const pair_buffers& b, const float* scores,
                        float* moved) const {
        const int32_t* first = start;
        const int32_t* last = stop;
        run_workers(units, o.threads, [=, &in, &o](int32_t begin, int32_t end) {
            int32_t most = 0;
            for (int32_t g = begin; g < end; ++g) most = std::max(most, last[g] - first[g]);
            std::vector<float> scratch(static_cast<size_t>(most));
            for (int32_t g = begin; g < end; ++g) {
                const int32_t p = first[g];
                moved[g] = score_tie_threshold(o.alternative, o.mean, scores[g], b.z_diff + p, b.corr1 + p,
                                               b.corr2 + p, std::max(last[g] - p, 0), in.n1, in.n2, scratch.data());
            }
        });
    }

    void prepare(fast_scores& f) {
        const int32_t n = f.in->pairs;
        if (n > 0) {
            break_segments_at(f.rows, start, units);
            f.pairs = pair_job_for(f.rows, *f.in);
        }
        for (int32_t u = 0; u < units; ++u) longest = std::max(longest, stop[u] - start[u]);
        slots = std::min(f.o->threads, std::max(units, 1));
        lists = make_scratch<float>(static_cast<size_t>(slots) * static_cast<size_t>(longest));
        cuts.assign(static_cast<size_t>(slots) + 1, units);
        for (int32_t w = 0; w < slots; ++w)
            cuts[static_cast<size_t>(w)] = static_cast<int32_t>(
                std::lower_bound(start, start + units, static_cast<int64_t>(n) * w / slots) - start);
        if (f.o->mean) return;
        hits = make_scratch<uint32_t>(static_cast<size_t>(units));
        numbers = make_scratch<uint32_t>(static_cast<size_t>(units));
        counting = f.median_counting();
        counting.hits = hits.get();
        counting.numbers = numbers.get();
        counting.run_start = start;
        counting.run_stop = stop;
        counting.runs = units;
    }

    void settle_cycle(const fast_scores& f, const score_job& job) const {
        const fast_scores* fs = &f;
        float* scratch = lists.get();
        const auto per_worker = static_cast<size_t>(longest);
        const int32_t* first = start;
        const int32_t* last = stop;
        const score_job* sj = &job;
        run_cut_workers(cuts.data(), slots, [=](int32_t worker, int32_t begin, int32_t end) {
            if (begin >= end) return;
            fs->write_differences(first[begin], last[end - 1]);
            run_scores(*sj, first, last, scratch + static_cast<size_t>(worker) * per_worker, begin, end);
        });
    }

    void count_cycle(const fast_scores& f, const score_job& job) const {
        const median_counts* cj = &counting;
        const pair_job* pj = &f.pairs;
        const rule_kernels* kernels = f.kernels;
        const int32_t* first = start;
        const int32_t* last = stop;
        const score_job* sj = &job;
        run_cut_workers(cuts.data(), slots, [=](int32_t, int32_t begin, int32_t end) {
            if (begin >= end) return;
            std::fill(cj->hits + begin, cj->hits + end, 0u);
            std::fill(cj->numbers + begin, cj->numbers + end, 0u);
            kernels->count_medians(*pj, *cj, first[begin], last[end - 1]);
            settle_run_medians(*sj, cj->hits, cj->numbers, first, last, begin, end);
        });
    }
};

// One score computation over any kind of units. The fast path packs the
// rows each cycle; the observed cycle (and every cycle of mean scores)
// writes the Fisher differences and settles each unit, tally included;
// permutation cycles of median scores count, in the pair kernel, each
// unit's differences below its observed score instead of selecting medians.
// Under sound rules the permuted scores are compared with each observed
// score moved by its tie threshold, made after the observed cycle from the
// unit's differences and correlations.
template <class Units>
void compute_scores(const checked_inputs& in, const call_options& o, const unit_outputs& out, kernel_path path,
                    Units& units) {
    if (path == kernel_path::reference) {
        reference_score_cycles(in, o, units, out);
        return;
    }
    fast_scores f(in, o);
    const int32_t padded = units.padded_units(f);
    f.make_thresholds(padded);
    units.prepare(f);
    score_job observed{};
    observed.features = in.features;
    observed.between = in.between;
    observed.rules = o.rules;
    observed.mean = o.mean;
    observed.magnitude = o.alternative == tail::two_sided;
    observed.alternative = o.alternative;
    observed.scores = out.scores;
    observed.counts = out.extreme;
    observed.undefined = out.undefined;
    observed.z_diff = f.z_diff.get();
    score_job permuted = observed;
    tie_targets targets(o, out.scores, units.units);
    permuted.observed = targets.observed;
    // The tie thresholds need the observed cycle's correlations too: two more
    // floats a pair, held until the thresholds are made.
    scratch<float> corr1, corr2;
    if (targets.moved) {
        corr1 = make_scratch<float>(static_cast<size_t>(in.pairs));
        corr2 = make_scratch<float>(static_cast<size_t>(in.pairs));
        f.differences.corr1 = corr1.get();
        f.differences.corr2 = corr2.get();
    }
    run_cycles(
        make_plan(in, o),
        [&](const cycle_view& v) {
            pack_cycle_rows(f.rows, v);
            if (v.cycle == 0 || o.mean) {
                units.settle_cycle(f, v.cycle == 0 ? observed : permuted);
                return;
            }
            if (v.cycle == 1)
                median_thresholds(permuted, units.units, f.thresholds.get(), f.thresholds.get() + f.stride, padded);
            units.count_cycle(f, permuted);
        },
        [&](int32_t cycle) {
            if (cycle != 0 || !targets.moved) return;
            const pair_buffers b{corr1.get(), corr2.get(), f.z_diff.get()};
            units.tie_thresholds(in, o, b, out.scores, targets.moved.get());
            // The permutation cycles write differences only.
            f.differences.corr1 = f.differences.corr2 = nullptr;
            corr1.reset();
            corr2.reset();
        });
}

}  // namespace

void compute_feature_scores(const checked_inputs& in, const call_options& o, const unit_outputs& out,
                            kernel_path path) {
    feature_units units(in);
    compute_scores(in, o, out, path, units);
}

void compute_unit_scores(const checked_inputs& in, const pair_units& runs, const call_options& o,
                         const unit_outputs& out, kernel_path path) {
    listed_units units(runs);
    compute_scores(in, o, out, path, units);
}

}  // namespace corrshift
