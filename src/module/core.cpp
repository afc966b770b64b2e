// The extension module `corrshift._core`: corrshift's own entry to the
// engine (sound rules, permutation counts, a progress callable). Used by
// the corrshift package; see pipelines/corrshift_entry.hpp. The
// straightforward engine behind the same functions is in the test-only
// extension.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <utility>

#include "../pipelines/corrshift_entry.hpp"
#include "../stats/classes.hpp"
#include "../stats/fast/kernel_select.hpp"
#include "../stats/fdr.hpp"
#include "../run/permutation.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using corrshift::float_input;
using corrshift::int_input;
using text = const std::string&;

namespace {

// The kernel builds as the selection sees them (corrshift.show_runtime).
py::dict kernel_builds() {
    const corrshift::kernel_report r = corrshift::report_kernels();
    py::dict features;
    for (const auto& [name, present] : r.cpu_features) features[py::str(name)] = present;
    const auto or_none = [](const std::string& s) -> py::object {
        if (s.empty()) return py::none();
        return py::str(s);
    };
    return py::dict("active"_a = or_none(r.active), "chosen_by"_a = r.chosen_by, "error"_a = or_none(r.error),
                    "compiled"_a = r.compiled, "available"_a = r.available, "cpu_features"_a = features);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "corrshift's native entry: differential correlation under sound statistical rules.";
    m.def(
        "ztest_exhaustive",
        [](const float_input& data, const int_input& group1, const int_input& group2, text method, text alternative,
           int permutations, int threads, const py::object& progress, const py::object& strata, uint32_t seed, bool exact, int64_t first_cycle, int64_t between) {
            return corrshift::corrshift_ztest_exhaustive(data, group1, group2, method, alternative, permutations,
                                                         threads, progress, strata, {seed, exact, first_cycle, between}, false);
        },
        "data"_a, "group1"_a, "group2"_a, "method"_a, "alternative"_a, "permutations"_a, "threads"_a,
        "progress"_a = py::none(), "strata"_a = py::none(), "seed"_a = corrshift::kPermutationSeed,
        "exact"_a = false, "first_cycle"_a = 0, "between"_a = 0);
    m.def(
        "ztest_indexed",
        [](const float_input& data, const int_input& pair_first, const int_input& pair_second,
           const int_input& group1, const int_input& group2, text method, text alternative, int permutations,
           int threads, const py::object& progress, const py::object& strata, uint32_t seed, bool exact, int64_t first_cycle) {
            return corrshift::corrshift_ztest_indexed(data, pair_first, pair_second, group1, group2, method,
                                                      alternative, permutations, threads, progress, strata, {seed, exact, first_cycle}, false);
        },
        "data"_a, "pair_first"_a, "pair_second"_a, "group1"_a, "group2"_a, "method"_a, "alternative"_a,
        "permutations"_a, "threads"_a, "progress"_a = py::none(), "strata"_a = py::none(), "seed"_a = corrshift::kPermutationSeed,
        "exact"_a = false, "first_cycle"_a = 0);
    m.def(
        "score_exhaustive",
        [](const float_input& data, const int_input& group1, const int_input& group2, text method, text aggregate,
           text alternative, int permutations, int threads, const py::object& progress, const py::object& strata, uint32_t seed, bool exact, int64_t first_cycle, int64_t between) {
            return corrshift::corrshift_score_exhaustive(data, group1, group2, method, aggregate, alternative,
                                                         permutations, threads, progress, strata, {seed, exact, first_cycle, between}, false);
        },
        "data"_a, "group1"_a, "group2"_a, "method"_a, "aggregate"_a, "alternative"_a, "permutations"_a, "threads"_a,
        "progress"_a = py::none(), "strata"_a = py::none(), "seed"_a = corrshift::kPermutationSeed,
        "exact"_a = false, "first_cycle"_a = 0, "between"_a = 0);
    m.def(
        "score_indexed",
        [](const float_input& data, const int_input& pair_first, const int_input& pair_second,
           const int_input& group1, const int_input& group2, text method, text aggregate, text alternative,
           int permutations, int threads, const py::object& progress, const py::object& strata, uint32_t seed, bool exact, int64_t first_cycle) {
            return corrshift::corrshift_score_indexed(data, pair_first, pair_second, group1, group2, method, aggregate,
                                                      alternative, permutations, threads, progress, strata, {seed, exact, first_cycle}, false);
        },
        "data"_a, "pair_first"_a, "pair_second"_a, "group1"_a, "group2"_a, "method"_a, "aggregate"_a,
        "alternative"_a, "permutations"_a, "threads"_a, "progress"_a = py::none(), "strata"_a = py::none(), "seed"_a = corrshift::kPermutationSeed,
        "exact"_a = false, "first_cycle"_a = 0);
    m.def(
        "score_units",
        [](const float_input& data, const int_input& pair_first, const int_input& pair_second,
           const int_input& unit_starts, const int_input& group1, const int_input& group2, text method,
           text aggregate, text alternative, int permutations, int threads, const py::object& progress,
           const py::object& strata, uint32_t seed, bool exact, int64_t first_cycle) {
            return corrshift::corrshift_score_units(data, pair_first, pair_second, unit_starts, group1, group2,
                                                    method, aggregate, alternative, permutations, threads, progress,
                                                    strata, {seed, exact, first_cycle}, false);
        },
        "data"_a, "pair_first"_a, "pair_second"_a, "unit_starts"_a, "group1"_a, "group2"_a, "method"_a,
        "aggregate"_a, "alternative"_a, "permutations"_a, "threads"_a, "progress"_a = py::none(),
        "strata"_a = py::none(), "seed"_a = corrshift::kPermutationSeed,
        "exact"_a = false, "first_cycle"_a = 0);
    m.def(
        "ztest_groups",
        [](const float_input& data, const int_input& columns, const int_input& sizes, text method, int permutations,
           int threads, const py::object& progress, const py::object& strata, uint32_t seed, int64_t first_cycle,
           const py::object& pair_first, const py::object& pair_second, bool contrasts,
           const py::object& aggregate, const py::object& unit_starts) {
            return corrshift::corrshift_ztest_groups(
                data, pair_first, pair_second, columns, sizes, method, permutations, threads, progress, strata,
                {seed, false, first_cycle}, contrasts, aggregate.is_none() ? "" : aggregate.cast<std::string>(),
                unit_starts);
        },
        "data"_a, "columns"_a, "sizes"_a, "method"_a, "permutations"_a, "threads"_a, "progress"_a = py::none(),
        "strata"_a = py::none(), "seed"_a = corrshift::kPermutationSeed, "first_cycle"_a = 0,
        "pair_first"_a = py::none(), "pair_second"_a = py::none(), "contrasts"_a = false, "aggregate"_a = py::none(),
        "unit_starts"_a = py::none());
    m.def(
        "bh_qvalues",
        [](const float_input& p, int threads) {
            if (p.ndim() != 1) throw std::invalid_argument("p must be one-dimensional");
            if (p.size() >= (py::ssize_t{1} << 32)) throw std::invalid_argument("p must hold fewer than 2**32 values");
            if (threads < 1) throw std::invalid_argument("threads must be at least 1");
            py::array_t<double> q(p.size());
            const float* in = p.data();
            double* out = q.mutable_data();
            const auto n = static_cast<int64_t>(p.size());
            {
                const py::gil_scoped_release release;
                corrshift::bh_qvalues(in, n, out, threads);
            }
            return q;
        },
        "p"_a, "threads"_a);
    m.def(
        "change_codes",
        [](const float_input& r1, const float_input& r2, std::pair<float, float> bounds1,
           std::pair<float, float> bounds2, int threads) {
            if (r1.ndim() != 1 || r2.ndim() != 1 || r1.size() != r2.size())
                throw std::invalid_argument("r1 and r2 must be one-dimensional and of one length");
            if (threads < 1) throw std::invalid_argument("threads must be at least 1");
            py::array_t<int8_t> codes(r1.size());
            const float* a = r1.data();
            const float* b = r2.data();
            int8_t* out = codes.mutable_data();
            const auto n = static_cast<int64_t>(r1.size());
            {
                const py::gil_scoped_release release;
                corrshift::change_codes(a, b, n, {bounds1.first, bounds1.second}, {bounds2.first, bounds2.second},
                                        out, threads);
            }
            return codes;
        },
        "r1"_a, "r2"_a, "bounds1"_a, "bounds2"_a, "threads"_a);
    m.def("kernel_builds", &kernel_builds,
          "The kernel builds: the active one and how it was chosen, those compiled in and those the CPU runs, "
          "and the CPU features they test.");
}
