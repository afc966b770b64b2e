// Test-only extension `corrshift._native_tests`: the kernels and run
// machinery on their own, and the pipelines with fault injection, so tests
// can check each piece. Not part of the public API.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <optional>
#include <random>
#include <vector>

#include "../pipelines/corrshift_entry.hpp"
#include "../pipelines/pipelines.hpp"
#include "../run/permutation.hpp"
#include "../run/phase_clock.hpp"
#include "../run/progress_bar.hpp"
#include "../run/worker_pool.hpp"
#include "../run/workers.hpp"
#include "../stats/correlation.hpp"
#include "../stats/fast/kernel_select.hpp"
#include "../stats/index_sort.hpp"
#include "../stats/normal_tail.hpp"
#include "../stats/rank.hpp"
#include "../stats/score.hpp"
#include "../stats/ztest.hpp"

namespace py = pybind11;
using namespace corrshift;

namespace {

using farr = py::array_t<float, py::array::c_style | py::array::forcecast>;
using iarr = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

const int32_t* opt(const std::optional<iarr>& a) { return a ? a->data() : nullptr; }

// transform(in, out, n) over the values into out (of their size), without
// the interpreter lock.
template <class Transform>
void transform_into(const farr& values, py::array_t<float, py::array::c_style>& out, Transform transform) {
    if (out.size() != values.size()) throw py::value_error("out must have the size of values");
    const float* in = values.data();
    float* o = out.mutable_data();
    const auto n = static_cast<int64_t>(values.size());
    py::gil_scoped_release release;
    transform(in, o, n);
}

}  // namespace

PYBIND11_MODULE(_native_tests, m) {
    // `updates` updates of a bar of `cycles` cycles; the stream is flushed
    // at the end (also when update throws) so tests see every byte.
    m.def("progress", [](int32_t cycles, int32_t updates) {
        struct flush_at_exit {
            ~flush_at_exit() { std::cout.flush(); }
        } flush;
        progressbar bar(cycles);
        for (int32_t i = 0; i < updates; ++i) bar.update();
    });
    m.def("split_range", [](int32_t n, int32_t t, int32_t j) {
        const unit_range r = split_range(n, t, j);
        return std::make_pair(r.begin, r.end);
    });
    m.def("engine_outputs", [](uint32_t seed, int32_t count) {
        std::mt19937 engine(seed);
        std::vector<uint32_t> out;
        for (int32_t i = 0; i < count; ++i) out.push_back(static_cast<uint32_t>(engine()));
        return out;
    });
    // One draw below n from an engine that yields the given outputs in turn:
    // returns the index and how many outputs it consumed.
    m.def("draw_index_from", [](std::vector<uint32_t> outputs, uint32_t n) {
        size_t used = 0;
        auto engine = [&]() { return outputs.at(used++); };
        const uint32_t index = draw_index(engine, n);
        return std::make_pair(index, used);
    });
    m.def("draw_indices", [](uint32_t n, int32_t count) {
        std::mt19937 engine(kPermutationSeed);
        std::vector<uint32_t> out;
        for (int32_t i = 0; i < count; ++i) out.push_back(draw_index(engine, n));
        return out;
    });
    m.def("sample_orders", [](int32_t samples, int32_t cycles) {
        std::mt19937 engine(kPermutationSeed);
        std::vector<int32_t> order(static_cast<size_t>(samples));
        for (int32_t s = 0; s < samples; ++s) order[static_cast<size_t>(s)] = s;
        std::vector<std::vector<int32_t>> out;
        for (int32_t c = 0; c < cycles; ++c) {
            shuffle_samples(engine, order);
            out.push_back(order);
        }
        return out;
    });
    // The groups that `cycles` permutation cycles deal within the strata.
    m.def("stratified_groups", [](std::vector<int32_t> strata, std::vector<int32_t> group1,
                                  std::vector<int32_t> group2, int32_t cycles) {
        const int32_t count = strata.empty() ? 0 : *std::max_element(strata.begin(), strata.end()) + 1;
        stratified_dealing dealing = make_stratified_dealing(
            strata.data(), count, static_cast<int32_t>(strata.size()), group1.data(),
            static_cast<int32_t>(group1.size()), group2.data(), static_cast<int32_t>(group2.size()));
        std::mt19937 engine(kPermutationSeed);
        std::vector<std::pair<std::vector<int32_t>, std::vector<int32_t>>> out;
        for (int32_t c = 0; c < cycles; ++c) {
            std::vector<int32_t> d1(group1.size()), d2(group2.size());
            permute_within_strata(engine, dealing, d1.data(), d2.data());
            out.emplace_back(d1, d2);
        }
        return out;
    });
    m.def("rank_rows", [](farr matrix, farr ranks, iarr columns, int32_t threads) {
        rank_transform(matrix.data(), ranks.mutable_data(), static_cast<int32_t>(matrix.shape(1)),
                       static_cast<int32_t>(matrix.shape(0)), columns.data(),
                       static_cast<int32_t>(columns.shape(0)), threads);
        return ranks;
    });
    m.def("decode_pair", [](int64_t k, int64_t features) {
        const feature_pair p = decode_pair(k, features);
        return std::make_pair(p.first, p.second);
    });
    m.def("pairwise_correlation",
          [](farr matrix, std::optional<iarr> first, std::optional<iarr> second, int32_t begin, int32_t end,
             int32_t size, int32_t features, std::optional<iarr> columns, float fill) {
              std::vector<float> out(static_cast<size_t>(size), fill);
              pairwise_correlation(matrix.data(), static_cast<int32_t>(matrix.shape(1)), opt(first), opt(second),
                                   out.data(), begin, end, features, opt(columns),
                                   columns ? static_cast<int32_t>(columns->shape(0)) : 0);
              return out;
          });
    m.def("fisher_ztest", [](farr corr1, int32_t n1, farr corr2, int32_t n2, std::string method,
                             std::string alternative, bool with_p) {
        const auto n = static_cast<int32_t>(corr1.shape(0));
        std::vector<float> z(static_cast<size_t>(n)), p(static_cast<size_t>(n), 12345.0f);
        fisher_ztest(corr1.data(), n1, corr2.data(), n2, z.data(), with_p ? p.data() : nullptr, 0, n, method,
                     alternative);
        return std::make_pair(z, p);
    });
    m.def("fisher_transform", [](farr c) {
        std::vector<float> out(static_cast<size_t>(c.size()));
        for (py::ssize_t i = 0; i < c.size(); ++i) out[static_cast<size_t>(i)] = fisher_transform(c.data()[i]);
        return out;
    });
    m.def("pair_index_list", &pair_index_list);
    m.def("quantile_pick", [](farr z, iarr positions, float q, bool magnitude) {
        return quantile_pick(z.data(), positions.data(), static_cast<int32_t>(positions.shape(0)), q, magnitude);
    });
    m.def("feature_scores", [](farr z, int32_t features, std::string aggregate, std::string alternative) {
        std::vector<float> target(static_cast<size_t>(features), 12345.0f);
        feature_score_worker(z.data(), features, 0, features, target.data(), aggregate, alternative);
        return target;
    });
    m.def("run_scores", [](farr z, iarr start, iarr stop, std::string aggregate, std::string alternative) {
        const auto g = static_cast<int32_t>(start.shape(0));
        std::vector<float> target(static_cast<size_t>(g), 12345.0f);
        aggregate_runs(z.data(), start.data(), stop.data(), 0, g, target.data(), aggregate, alternative);
        return target;
    });
    // Makes the start of the j-th thread of every later fork-join fail
    // (-1 turns this off); the pipelines below see it.
    m.def("fail_thread_start_at", [](int32_t j) { fail_thread_start_at = j; });
    // Runs a fork-join whose workers throw std::bad_alloc in worker `bad`.
    // With pool_threads > 0, on a pool of that many threads (started once
    // for all `rounds` fork-joins).
    m.def(
        "run_workers_failing",
        [](int32_t n, int32_t t, int32_t bad, int32_t pool_threads, int32_t rounds) {
            std::vector<int32_t> seen(static_cast<size_t>(n), 0);
            int32_t* out = seen.data();
            std::optional<worker_pool> pool;
            std::optional<pool_scope> scope;
            if (pool_threads > 0) {
                pool.emplace(pool_threads);
                scope.emplace(*pool);
            }
            for (int32_t round = 0; round < rounds; ++round)
                run_workers(n, t, [=](int32_t begin, int32_t end) {
                    for (int32_t k = begin; k < end; ++k) out[k] += 1;
                    if (bad >= 0 && begin <= bad && bad < end) throw std::bad_alloc();
                });
            return seen;
        },
        py::arg("n"), py::arg("t"), py::arg("bad"), py::arg("pool_threads") = 0, py::arg("rounds") = 1);
    m.def("ztest_pipeline_exhaustive", &ztest_pipeline_exhaustive);
    m.def("score_pipeline_exhaustive", &score_pipeline_exhaustive);
    // The four pipelines on the straightforward kernels, which the fast
    // ones must match bit for bit.
    m.def("reference_ztest_exhaustive", &reference_ztest_pipeline_exhaustive);
    m.def("reference_ztest_indexed", &reference_ztest_pipeline_indexed);
    m.def("reference_score_exhaustive", &reference_score_pipeline_exhaustive);
    m.def("reference_score_indexed", &reference_score_pipeline_indexed);
    // corrshift's entry on either engine (reference=True: the
    // straightforward kernels), arguments as in corrshift._core, its
    // keyword options (seed, exact, first_cycle, between) as one sound_extras before `reference`.
    py::class_<sound_extras>(m, "sound_extras")
        .def(py::init([](uint32_t seed, bool exact, int64_t first_cycle, int64_t between) {
                 return sound_extras{seed, exact, first_cycle, between};
             }),
             py::arg("seed") = kPermutationSeed, py::arg("exact") = false, py::arg("first_cycle") = 0,
             py::arg("between") = 0);
    m.def("corrshift_ztest_exhaustive", &corrshift_ztest_exhaustive);
    m.def("corrshift_ztest_indexed", &corrshift_ztest_indexed);
    m.def("corrshift_score_exhaustive", &corrshift_score_exhaustive);
    m.def("corrshift_score_indexed", &corrshift_score_indexed);
    m.def("corrshift_score_units", &corrshift_score_units);
    // Average ranks of every row over the listed columns (the straightforward
    // ranking of corrshift's entry).
    m.def("average_rank_rows", [](farr matrix, farr ranks, iarr columns, int32_t threads) {
        rank_transform(matrix.data(), ranks.mutable_data(), static_cast<int32_t>(matrix.shape(1)),
                       static_cast<int32_t>(matrix.shape(0)), columns.data(),
                       static_cast<int32_t>(columns.shape(0)), threads, statistics::sound);
        return ranks;
    });
    // Builds of the fast kernels: which this CPU runs, and a choice of one
    // for the calls that follow ("" for the automatic choice).
    m.def("available_kernels", &available_kernels);
    m.def("active_kernels", []() { return std::string(active_kernels().name); });
    m.def("use_kernels", [](const std::string& name) {
        if (!force_kernels(name)) throw py::value_error("kernels \"" + name + "\" are not available on this CPU");
    });
    // The vectorised Fisher transform of the active build, in place into out.
    m.def("fast_fisher_transform", [](farr values, py::array_t<float, py::array::c_style> out) {
        transform_into(values, out,
                       [](const float* in, float* o, int64_t n) { active_kernels().fisher_block(in, o, n); });
    });
    // The reference transform of every value, in place into out.
    m.def("reference_fisher_transform", [](farr values, py::array_t<float, py::array::c_style> out) {
        transform_into(values, out, [](const float* in, float* o, int64_t n) {
            for (int64_t k = 0; k < n; ++k) o[k] = fisher_transform(in[k]);
        });
    });
    // tanh_of_difference of every value, in place into out: by the active
    // build (vectorised) or, reference=True, one value at a time.
    m.def(
        "tanh_of_differences",
        [](farr values, py::array_t<float, py::array::c_style> out, bool reference) {
            transform_into(values, out, [=](const float* in, float* o, int64_t n) {
                if (reference)
                    for (int64_t k = 0; k < n; ++k) o[k] = tanh_of_difference(in[k]);
                else
                    active_kernels().tanh_block(in, o, n);
            });
        },
        py::arg("values"), py::arg("out"), py::arg("reference") = false);
    // Normal p-values of the Fisher differences d with standard error se,
    // in place into out: under sound rules by the active build (vectorised)
    // or, reference=True, by sound_normal_pvalue one at a time; under
    // classic rules by normal_pvalue (the C library's erfc).
    m.def(
        "normal_pvalues",
        [](farr d, py::array_t<float, py::array::c_style> out, float se, const std::string& alternative, bool sound,
           bool reference) {
            const tail alt = parse_tail(alternative);
            transform_into(d, out, [=](const float* in, float* o, int64_t n) {
                if (sound && reference)
                    for (int64_t k = 0; k < n; ++k) o[k] = sound_normal_pvalue(alt, in[k], se);
                else
                    active_kernels().under(sound ? statistics::sound : statistics::classic).normal_pvalues(alt, in, se, o, n);
            });
        },
        py::arg("d"), py::arg("out"), py::arg("se"), py::arg("alternative"), py::arg("sound") = true,
        py::arg("reference") = false);
    // 0/1 per position: whether the active build's permutation tally counts
    // the Fisher difference of the correlations c1, c2 (clamped or capped
    // by the rules) as at least as extreme as observed; under sound rules
    // also whether it counts the cycle as undefined.
    m.def(
        "tally_lanes",
        [](farr c1, farr c2, farr observed, const std::string& alternative, bool sound) {
            if (c2.size() != c1.size() || observed.size() != c1.size())
                throw py::value_error("c1, c2 and observed must have one size");
            const auto n = static_cast<int64_t>(c1.size());
            py::array_t<uint32_t> counts(n), undefined(n);
            std::fill_n(counts.mutable_data(), n, 0u);
            std::fill_n(undefined.mutable_data(), n, 0u);
            const tail alt = parse_tail(alternative);
            uint32_t* out = counts.mutable_data();
            uint32_t* lost = undefined.mutable_data();
            {
                py::gil_scoped_release release;
                active_kernels().tally_block(c1.data(), c2.data(), observed.data(), alt, out, lost, n,
                                             sound ? statistics::sound : statistics::classic);
            }
            if (sound) return py::object(py::make_tuple(counts, undefined));
            return py::object(counts);
        },
        py::arg("c1"), py::arg("c2"), py::arg("observed"), py::arg("alternative"), py::arg("sound") = false);
    // Starts (true) or stops the phase clock of this extension's pipelines
    // (ztest_pipeline_exhaustive, score_pipeline_exhaustive) and returns the
    // seconds summed so far per phase (rows, pairs, units), then zeroes them.
    m.def("phase_clock", [](bool running) {
        phase_clock& clock = the_phase_clock();
        const auto seconds = clock.seconds;
        clock.seconds = {};
        clock.running = running;
        return seconds;
    });
    // Ranks of a row without ties by the active build (counting) and by
    // sorting keys; None when the values hold a tie or a NaN.
    m.def("distinct_ranks", [](farr values, bool sorted) -> std::optional<std::vector<int32_t>> {
        const auto m = static_cast<int32_t>(values.size());
        std::vector<int32_t> ranks(static_cast<size_t>(m));
        std::vector<uint8_t> seen(static_cast<size_t>(m));
        std::vector<uint64_t> keys(static_cast<size_t>(m));
        const bool ok = sorted ? sorted_distinct_ranks(values.data(), m, ranks.data(), keys.data())
                               : active_kernels().distinct_ranks(values.data(), m, ranks.data(), seen.data());
        if (!ok) return std::nullopt;
        return ranks;
    });
}
