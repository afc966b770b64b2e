// The native entries: the `pipelines` module's four functions (classic
// rules, permutation p-values as fractions, the progress line) and
// corrshift's (sound rules, the permutation counts, a progress callable).
// Both check their arguments, parse their option words and run the same
// computations.
#include <algorithm>
#include <chrono>
#include <memory>
#include <limits>
#include <utility>
#include <vector>

#include "compute.hpp"
#include "corrshift_entry.hpp"
#include "kgroups.hpp"
#include "pipelines.hpp"
#include "../run/interrupt.hpp"
#include "../run/worker_pool.hpp"
#include "../stats/tally.hpp"

namespace corrshift {

namespace {

// Where a call's permutation counts go: into the storage of its p-value
// arrays, turned into fractions at the end (classic), or into count arrays
// returned as they are (sound).
struct counts_storage {
    bool counted;  // sound rules: extreme and valid counts; else fractions
    float_output fractions;
    count_output extreme, valid;

    counts_storage(int32_t n, statistics rules)
        : counted(rules == statistics::sound),
          fractions(counted ? 0 : n),
          extreme(counted ? n : 0),
          valid(counted ? n : 0) {}
    fractions_counted_in_place fractions_storage() { return {fractions.mutable_data()}; }
    uint32_t* extreme_counts() { return counted ? extreme.mutable_data() : fractions_storage().counts(); }
    // The cycles tallied as undefined, turned into the valid ones at the end.
    uint32_t* undefined_counts() { return counted ? valid.mutable_data() : nullptr; }
    void finish(int32_t n, int32_t permutations) {
        if (!counted) {
            fractions_storage().finish(n, permutations);
            return;
        }
        uint32_t* v = valid.mutable_data();
        for (int32_t k = 0; k < n; ++k) v[k] = static_cast<uint32_t>(permutations) - v[k];
    }
};

// Runs compute() as the options' runtime asks (see call_options).
template <class Compute>
void run_compute(const call_options& o, Compute&& compute) {
    if (!o.cooperative) {
        compute();
        return;
    }
    worker_pool pool(o.threads);
    const pool_scope scope(pool);
    const py::gil_scoped_release release;
    compute();
}

// The workers of a call over `units` units. The `pipelines` module raises
// its RuntimeError for fewer than one; corrshift's entry has checked its
// thread count already and answers no units with empty results.
int32_t call_threads(const call_options& o, int processes, int64_t units) {
    if (o.rules == statistics::sound) return static_cast<int32_t>(std::clamp<int64_t>(units, 1, processes));
    return effective_threads(processes, units);
}

struct ztest_arrays {
    float_output corr1, corr2, z_diff, p_normal;
    counts_storage counts;
};

ztest_arrays ztest_call(const checked_inputs& in, call_options o, int processes, kernel_path path) {
    // The process count is used as given (the pair count may be 0).
    o.threads = effective_threads(processes, std::numeric_limits<int32_t>::max());
    const int32_t n = in.pairs;
    ztest_arrays a{float_output(n), float_output(n), float_output(n), float_output(n), counts_storage(n, o.rules)};
    const pair_outputs out{a.corr1.mutable_data(),    a.corr2.mutable_data(),       a.z_diff.mutable_data(),
                           a.p_normal.mutable_data(), a.counts.extreme_counts(), a.counts.undefined_counts()};
    run_compute(o, [&] { compute_ztest(in, o, out, path); });
    a.counts.finish(n, o.permutations);
    return a;
}

struct score_arrays {
    float_output scores;
    counts_storage counts;
};

score_arrays feature_score_call(const checked_inputs& in, call_options o, int processes, kernel_path path) {
    o.threads = call_threads(o, processes, in.features);
    score_arrays a{float_output(in.features), counts_storage(in.features, o.rules)};
    const unit_outputs out{a.scores.mutable_data(), a.counts.extreme_counts(), a.counts.undefined_counts()};
    if (in.features > 0) run_compute(o, [&] { compute_feature_scores(in, o, out, path); });
    a.counts.finish(in.features, o.permutations);
    return a;
}

struct unit_score_arrays {
    int_output firsts;
    score_arrays units;
};

unit_score_arrays unit_score_call(const checked_inputs& in, const pair_units& runs, call_options o, int processes,
                                  kernel_path path) {
    const auto g = static_cast<int32_t>(runs.first.size());
    o.threads = call_threads(o, processes, g);
    unit_score_arrays a{int_output(g), {float_output(g), counts_storage(g, o.rules)}};
    std::copy(runs.first.begin(), runs.first.end(), a.firsts.mutable_data());
    const unit_outputs out{a.units.scores.mutable_data(), a.units.counts.extreme_counts(),
                           a.units.counts.undefined_counts()};
    if (g > 0) run_compute(o, [&] { compute_unit_scores(in, runs, o, out, path); });
    a.units.counts.finish(g, o.permutations);
    return a;
}

// The `pipelines` module's results.
ztest_result classic_tuple(ztest_arrays&& a) {
    return {std::move(a.corr1), std::move(a.corr2), std::move(a.z_diff), std::move(a.p_normal),
            std::move(a.counts.fractions)};
}

// corrshift's progress report: the progress callable (None: no report).
// The lock is taken at most every kReportInterval (and before the first
// and after the last cycle): short cycles do not wait for it each time, and
// Ctrl-C is still answered within the interval.
constexpr std::chrono::milliseconds kReportInterval{20};

cycle_report report_to(const py::object& progress) {
    auto last = std::make_shared<std::chrono::steady_clock::time_point>();
    return [&progress, last](int64_t done, int64_t total) {
        const auto now = std::chrono::steady_clock::now();
        if (done != 0 && done != total && now - *last < kReportInterval) return;
        *last = now;
        const py::gil_scoped_acquire hold;
        check_interrupt();
        if (!progress.is_none()) progress(done, total);
    };
}

counted_ztest_result counted_tuple(ztest_arrays&& a) {
    return {std::move(a.corr1),          std::move(a.corr2),         std::move(a.z_diff),
            std::move(a.p_normal),       std::move(a.counts.extreme), std::move(a.counts.valid)};
}

kernel_path kernel_path_of(bool reference) { return reference ? kernel_path::reference : kernel_path::fast; }

}  // namespace

ztest_result ztest_pipeline_exhaustive(CORRSHIFT_ZTEST_EXHAUSTIVE_ARGS) {
    const checked_inputs in = check_inputs(data, nullptr, nullptr, group1, group2, permutations);
    return classic_tuple(
        ztest_call(in, classic_options(method, alternative, permutations), processes, kernel_path::fast));
}

ztest_result reference_ztest_pipeline_exhaustive(CORRSHIFT_ZTEST_EXHAUSTIVE_ARGS) {
    const checked_inputs in = check_inputs(data, nullptr, nullptr, group1, group2, permutations);
    return classic_tuple(
        ztest_call(in, classic_options(method, alternative, permutations), processes, kernel_path::reference));
}

ztest_result ztest_pipeline_indexed(CORRSHIFT_ZTEST_INDEXED_ARGS) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    return classic_tuple(
        ztest_call(in, classic_options(method, alternative, permutations), processes, kernel_path::fast));
}

ztest_result reference_ztest_pipeline_indexed(CORRSHIFT_ZTEST_INDEXED_ARGS) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    return classic_tuple(
        ztest_call(in, classic_options(method, alternative, permutations), processes, kernel_path::reference));
}

namespace {

score_result classic_scores(const float_input& data, const int_input& group1, const int_input& group2,
                            const std::string& method, const std::string& aggregate, const std::string& alternative,
                            int permutations, int processes, kernel_path path) {
    const checked_inputs in = check_inputs(data, nullptr, nullptr, group1, group2, permutations);
    call_options o = classic_options(method, alternative, permutations);
    o.mean = aggregate_is_mean(aggregate);
    score_arrays a = feature_score_call(in, o, processes, path);
    return {std::move(a.scores), std::move(a.counts.fractions)};
}

run_score_result classic_run_scores(const float_input& data, const int_input& pair_first,
                                    const int_input& pair_second, const int_input& group1, const int_input& group2,
                                    const std::string& method, const std::string& aggregate,
                                    const std::string& alternative, int permutations, int processes,
                                    kernel_path path) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    call_options o = classic_options(method, alternative, permutations);
    o.mean = aggregate_is_mean(aggregate);
    unit_score_arrays a = unit_score_call(in, decompose_runs(in.pair_first, in.pairs), o, processes, path);
    return {std::move(a.firsts), std::move(a.units.scores), std::move(a.units.counts.fractions)};
}

}  // namespace

score_result score_pipeline_exhaustive(CORRSHIFT_SCORE_EXHAUSTIVE_ARGS) {
    return classic_scores(data, group1, group2, method, aggregate, alternative, permutations, processes,
                          kernel_path::fast);
}

score_result reference_score_pipeline_exhaustive(CORRSHIFT_SCORE_EXHAUSTIVE_ARGS) {
    return classic_scores(data, group1, group2, method, aggregate, alternative, permutations, processes,
                          kernel_path::reference);
}

run_score_result score_pipeline_indexed(CORRSHIFT_SCORE_INDEXED_ARGS) {
    return classic_run_scores(data, pair_first, pair_second, group1, group2, method, aggregate, alternative,
                              permutations, processes, kernel_path::fast);
}

run_score_result reference_score_pipeline_indexed(CORRSHIFT_SCORE_INDEXED_ARGS) {
    return classic_run_scores(data, pair_first, pair_second, group1, group2, method, aggregate, alternative,
                              permutations, processes, kernel_path::reference);
}

namespace {

// What every call of corrshift's entry sets up after its inputs are checked:
// the sound rules' options with the cooperative runtime, the progress
// report, the aggregate word (scores) and the strata, kept for the call.
struct sound_call {
    cycle_report report;
    call_options options;
    int_input strata;

    sound_call(const checked_inputs& in, const std::string& method, const std::string& alternative,
               int permutations, int threads, const sound_extras& extras, const py::object& progress,
               const py::object& strata_labels, const std::string* aggregate = nullptr)
        : report(report_to(progress)), options(sound_options(method, alternative, permutations)) {
        check_threads(threads);
        options.report = &report;
        options.cooperative = true;
        options.ascending = true;
        options.seed = extras.seed;
        if (aggregate != nullptr) options.mean = aggregate_is_mean(*aggregate);
        strata = check_strata(strata_labels, in, options);
        options.every_split = extras.exact;
        if (extras.exact) check_every_split(in, options);
        options.numbered = true;
        options.first_cycle = check_first_cycle(extras.first_cycle, extras.exact, permutations);
    }
    sound_call(const sound_call&) = delete;
    sound_call& operator=(const sound_call&) = delete;
};

// The pairs of an exhaustive call of corrshift's entry: all pairs or the
// rectangle of two feature sets. The straightforward path reads the
// rectangle as the list of its pairs (held in `lists` for the call), and its
// per-feature scores by `between` still.
checked_inputs exhaustive_pairs(checked_inputs in, int64_t between, bool reference,
                                std::vector<int32_t> (&lists)[2]) {
    check_between(in, between);
    if (!reference || in.between == 0) return in;
    const int32_t width = in.features - in.between;
    for (int32_t k = 0; k < in.pairs; ++k) {
        lists[0].push_back(k / width);
        lists[1].push_back(in.between + k % width);
    }
    in.pair_first = lists[0].data();
    in.pair_second = lists[1].data();
    return in;
}

}  // namespace

counted_ztest_result corrshift_ztest_exhaustive(const float_input& data, const int_input& group1,
                                                const int_input& group2, const std::string& method,
                                                const std::string& alternative, int permutations, int threads,
                                                const py::object& progress, const py::object& strata, const sound_extras& extras,
    bool reference) {
    std::vector<int32_t> lists[2];
    const checked_inputs in = exhaustive_pairs(check_inputs(data, nullptr, nullptr, group1, group2, permutations),
                                               extras.between, reference, lists);
    const sound_call call(in, method, alternative, permutations, threads, extras, progress, strata);
    return counted_tuple(ztest_call(in, call.options, threads, kernel_path_of(reference)));
}

counted_ztest_result corrshift_ztest_indexed(const float_input& data, const int_input& pair_first,
                                             const int_input& pair_second, const int_input& group1,
                                             const int_input& group2, const std::string& method,
                                             const std::string& alternative, int permutations, int threads,
                                             const py::object& progress, const py::object& strata, const sound_extras& extras,
    bool reference) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    const sound_call call(in, method, alternative, permutations, threads, extras, progress, strata);
    return counted_tuple(ztest_call(in, call.options, threads, kernel_path_of(reference)));
}

counted_score_result corrshift_score_exhaustive(const float_input& data, const int_input& group1,
                                                const int_input& group2, const std::string& method,
                                                const std::string& aggregate, const std::string& alternative,
                                                int permutations, int threads, const py::object& progress,
                                                const py::object& strata, const sound_extras& extras,
                                                bool reference) {
    std::vector<int32_t> lists[2];
    const checked_inputs in = exhaustive_pairs(check_inputs(data, nullptr, nullptr, group1, group2, permutations),
                                               extras.between, reference, lists);
    const sound_call call(in, method, alternative, permutations, threads, extras, progress, strata, &aggregate);
    score_arrays a = feature_score_call(in, call.options, threads, kernel_path_of(reference));
    return {std::move(a.scores), std::move(a.counts.extreme), std::move(a.counts.valid)};
}

counted_run_score_result corrshift_score_indexed(const float_input& data, const int_input& pair_first,
                                                 const int_input& pair_second, const int_input& group1,
                                                 const int_input& group2, const std::string& method,
                                                 const std::string& aggregate, const std::string& alternative,
                                                 int permutations, int threads, const py::object& progress,
                                                 const py::object& strata, const sound_extras& extras,
                                                bool reference) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    const sound_call call(in, method, alternative, permutations, threads, extras, progress, strata, &aggregate);
    unit_score_arrays a = unit_score_call(in, decompose_runs(in.pair_first, in.pairs), call.options, threads,
                                          kernel_path_of(reference));
    return {std::move(a.firsts), std::move(a.units.scores), std::move(a.units.counts.extreme),
            std::move(a.units.counts.valid)};
}

counted_score_result corrshift_score_units(const float_input& data, const int_input& pair_first,
                                           const int_input& pair_second, const int_input& unit_starts,
                                           const int_input& group1, const int_input& group2,
                                           const std::string& method, const std::string& aggregate,
                                           const std::string& alternative, int permutations, int threads,
                                           const py::object& progress, const py::object& strata, const sound_extras& extras,
    bool reference) {
    const checked_inputs in = check_inputs(data, &pair_first, &pair_second, group1, group2, permutations);
    const sound_call call(in, method, alternative, permutations, threads, extras, progress, strata, &aggregate);
    const pair_units units = check_units(unit_starts, in);
    unit_score_arrays a = unit_score_call(in, units, call.options, threads, kernel_path_of(reference));
    return {std::move(a.units.scores), std::move(a.units.counts.extreme), std::move(a.units.counts.valid)};
}

py::dict corrshift_ztest_groups(const float_input& data, const py::object& pair_first, const py::object& pair_second,
                                const int_input& columns, const int_input& sizes, const std::string& method,
                                int permutations, int threads, const py::object& progress, const py::object& strata,
                                const sound_extras& extras, bool contrasts, const std::string& aggregate,
                                const py::object& unit_starts) {
    if (pair_first.is_none() != pair_second.is_none())
        throw py::value_error("pair_first and pair_second go together: give both or neither");
    const bool scores = !aggregate.empty();
    const bool mean = scores && aggregate_is_mean(aggregate);
    const bool by_unit = !unit_starts.is_none();
    if (by_unit && (!scores || pair_first.is_none()))
        throw py::value_error("unit_starts scores units of listed pairs: give pair_first, pair_second and an "
                              "aggregate with it");
    if (scores && !by_unit && !pair_first.is_none())
        throw py::value_error("feature scores across groups are over all pairs: give no pair_first and pair_second");
    if (extras.exact) throw py::value_error("the test across groups has no exact form: exact must be False");
    const bool listed = !pair_first.is_none();
    const int_input first = listed ? pair_first.cast<int_input>() : int_input(0);
    const int_input second = listed ? pair_second.cast<int_input>() : int_input(0);
    const checked_inputs in =
        check_inputs(data, listed ? &first : nullptr, listed ? &second : nullptr, columns, int_input(0), permutations);
    const group_layout groups = check_group_layout(sizes, in);
    const sound_call call(in, method, kTwoSided, permutations, threads, extras, progress, strata);
    const py::ssize_t k = groups.count(), n = in.pairs, c = contrasts ? k * (k - 1) / 2 : 0;
    py::array_t<float> corr({k, n}), contrast_z({c, n});
    py::array_t<double> chi2(n);
    count_output extreme(n), valid(n);
    py::array_t<uint32_t> contrast_extreme({c, n}), contrast_valid({c, n});
    const pair_units units = by_unit ? check_units(unit_starts.cast<int_input>(), in) : pair_units{};
    const py::ssize_t f = !scores ? 0 : by_unit ? static_cast<py::ssize_t>(units.start.size()) : in.features;
    py::array_t<double> score(f);
    count_output score_extreme(f), score_valid(f);
    const kgroup_outputs out{corr.mutable_data(),
                             chi2.mutable_data(),
                             extreme.mutable_data(),
                             valid.mutable_data(),
                             contrasts ? contrast_z.mutable_data() : nullptr,
                             contrast_extreme.mutable_data(),
                             contrast_valid.mutable_data(),
                             scores ? score.mutable_data() : nullptr,
                             score_extreme.mutable_data(),
                             score_valid.mutable_data(),
                             mean,
                             by_unit ? &units : nullptr};
    call_options o = call.options;
    o.threads = threads;
    run_compute(o, [&] { compute_kgroups(in, groups, o, out); });
    py::dict result;
    result["corr"] = corr;
    result["chi2"] = chi2;
    result["extreme"] = extreme;
    result["valid"] = valid;
    if (scores) {
        result["score"] = score;
        result["score_extreme"] = score_extreme;
        result["score_valid"] = score_valid;
    }
    if (contrasts) {
        result["contrast_z"] = contrast_z;
        result["contrast_extreme"] = contrast_extreme;
        result["contrast_valid"] = contrast_valid;
    }
    return result;
}

}  // namespace corrshift
