// Inputs of the engine test: matrices with the rows that take other paths,
// groups of sample columns and listed pairs.
#pragma once

#include <cstdint>
#include <vector>

namespace engine_test {

// features x samples float32, row-major.
struct matrix {
    int32_t features, samples;
    std::vector<float> values;
};

// Random rows plus, from row 3 on, the rows that take other paths: a
// constant row, a row constant in its first half, a NaN, rounded values
// (ties), a copy of row 0, equal magnitudes of both signs, large values,
// then what decides undefined and extreme correlations: a sparse row (one
// value in nine), an all-zero row, 3 x + 1, -x and x + 1e-4 noise for row
// 0's x, a sparse row of -x, a row of three values among zeros (its groups
// often have no variance) and x + 0.05 noise (correlations just below 1).
matrix hard_matrix(int32_t features, int32_t samples, uint32_t seed);

enum class groups_kind { dealt, duplicated_column, shared_columns, first_permutation };

// The caller's groups: dealt from a shuffle of the columns (n1, n2 of
// them), one column listed twice in group 1, groups sharing columns, or the
// groups the first permutation cycle deals (whose differences then equal
// the observed ones: ties for the tallies and median counts).
void make_groups(groups_kind kind, int32_t samples, int32_t n1, int32_t n2, uint32_t seed,
                 std::vector<int32_t>& group1, std::vector<int32_t>& group2);

enum class pairs_kind { exhaustive, all_in_order, sorted_random, unsorted };

// Listed pairs (none for exhaustive): every pair in the condensed order,
// sorted random pairs, or unsorted pairs with reversed orientation, repeats
// and a row paired with itself.
void make_pairs(pairs_kind kind, int32_t features, uint32_t seed, std::vector<int32_t>& first,
                std::vector<int32_t>& second);

}  // namespace engine_test
