// The parts of the engine test, each comparing one kernel build with the
// straightforward kernels bit for bit.
#pragma once

#include <cstdint>

#include "check.hpp"
#include "data.hpp"
#include "../../src/stats/fast/jobs.hpp"

namespace engine_test {

// One input of the pair phase, run under each set of rules and each
// alternative.
struct pair_case {
    const char* name;
    int32_t features, samples, n1, n2;
    bool spearman;
    pairs_kind pairs;
    groups_kind groups;
    int32_t pieces;   // ranges the pair positions are split into, as among workers
    int32_t stretch;  // rows of second rows kept in cache (0: as the pipelines choose)
};

// The observed cycle (correlations, Fisher differences, normal p-values,
// their tanh, mean and median scores) and permutation cycles (z-test, mean
// and median tallies, median counts; under sound rules the cycles whose
// statistic is undefined) of the case, as the four pipelines run them.
void check_pair_case(const corrshift::kernel_table& kernels, const pair_case& c, report& r);

// The Fisher transform, the tally without the transform and the ranks of
// rows without ties.
void check_vector_kernels(const corrshift::kernel_table& kernels, report& r);

}  // namespace engine_test
