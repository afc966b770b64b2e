// corrshift's own entry to the engine: the four computations under sound
// rules (see stats/rules.hpp), option words checked, progress reported to
// an optional callable instead of standard output, and the permutation
// counts returned as they are, optionally dealing within strata (see
// check_strata). Each also in the straightforward form the tests compare it
// with (reference = true).
#pragma once

#include <cstdint>
#include <string>

#include "arrays.hpp"

namespace corrshift {

// What corrshift's entry adds to the permutation cycles: the seed of the
// dealings, or every split of the samples once (an exact test; the
// permutation count must then be the number of splits), and the number of
// the first permutation cycle in the seed's stream of numbered dealings
// (0: the call deals cycles 1 .. permutations; c: it deals c + 1 ..
// c + permutations, so calls over consecutive ranges of cycles count what
// one call over all of them counts).
struct sound_extras {
    uint32_t seed;
    bool exact;
    int64_t first_cycle = 0;
    // The exhaustive functions: 0 for all pairs, or the rows of the first
    // feature set, whose pairs with the other rows (the second set) make the
    // call's rectangle of pairs (see checked_inputs::between).
    int64_t between = 0;
};

counted_ztest_result corrshift_ztest_exhaustive(const float_input& data, const int_input& group1,
                                                const int_input& group2, const std::string& method,
                                                const std::string& alternative, int permutations, int threads,
                                                const py::object& progress, const py::object& strata, const sound_extras& extras,
    bool reference);
counted_ztest_result corrshift_ztest_indexed(const float_input& data, const int_input& pair_first,
                                             const int_input& pair_second, const int_input& group1,
                                             const int_input& group2, const std::string& method,
                                             const std::string& alternative, int permutations, int threads,
                                             const py::object& progress, const py::object& strata, const sound_extras& extras,
    bool reference);
counted_score_result corrshift_score_exhaustive(const float_input& data, const int_input& group1,
                                                const int_input& group2, const std::string& method,
                                                const std::string& aggregate, const std::string& alternative,
                                                int permutations, int threads, const py::object& progress,
                                                const py::object& strata, const sound_extras& extras, bool reference);
counted_run_score_result corrshift_score_indexed(const float_input& data, const int_input& pair_first,
                                                 const int_input& pair_second, const int_input& group1,
                                                 const int_input& group2, const std::string& method,
                                                 const std::string& aggregate, const std::string& alternative,
                                                 int permutations, int threads, const py::object& progress,
                                                 const py::object& strata, const sound_extras& extras, bool reference);

// Scores of units of listed pairs given by the caller (gene sets, or the
// pairs between two sets): unit u holds positions [unit_starts[u],
// unit_starts[u + 1]) (the last up to the pair count); unit_starts
// ascending. Returns per unit the score and the counts.
counted_score_result corrshift_score_units(const float_input& data, const int_input& pair_first,
                                           const int_input& pair_second, const int_input& unit_starts,
                                           const int_input& group1, const int_input& group2,
                                           const std::string& method, const std::string& aggregate,
                                           const std::string& alternative, int permutations, int threads,
                                           const py::object& progress, const py::object& strata, const sound_extras& extras,
    bool reference);

// The test across groups (see kgroups.hpp): `columns` holds every group's
// columns in turn, `sizes` their counts; all pairs in condensed order, or
// the listed pairs (pair_first and pair_second both None, or both given).
// Returns a dict of the arrays "corr" (groups x pairs), "chi2", "extreme",
// "valid" and, with `contrasts`, "contrast_z", "contrast_extreme" and
// "contrast_valid" (contrasts x pairs); with an aggregate ("mean" or
// "median"; an empty word: none) each feature's "score" (the aggregate of
// Q over its pairs, all pairs) with "score_extreme" and "score_valid", or
// with `unit_starts` (not None; listed pairs) each unit's, unit u holding
// the positions from unit_starts[u] up to the next unit's start.
py::dict corrshift_ztest_groups(const float_input& data, const py::object& pair_first, const py::object& pair_second,
                                const int_input& columns, const int_input& sizes, const std::string& method,
                                int permutations, int threads, const py::object& progress, const py::object& strata,
                                const sound_extras& extras, bool contrasts, const std::string& aggregate,
                                const py::object& unit_starts = py::none());

}  // namespace corrshift
