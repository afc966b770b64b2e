// Permutation tallies: integer counts of permuted statistics at least as
// extreme as the observed ones, divided once at the end.
#pragma once

#include <cstdint>

#include "options.hpp"

namespace corrshift {

// Adds 1 to counts[k] for every k in [0, n) whose permuted value is at least
// as extreme as the observed one under the alternative; ties count, NaN
// never does, an unknown alternative never counts.
void tally_extremes(tail alternative, const float* observed, const float* permuted, uint32_t* counts, int32_t n);

// Adds 1 to undefined[k] for every k in [0, n) whose permuted value is
// NaN: under sound rules a cycle with an undefined statistic counts for
// nothing, and the p-value is formed over the other cycles.
void tally_undefined(const float* permuted, uint32_t* undefined, int32_t n);

// p[k] = counts[k] / permutations in single precision (0 when there were
// no permutations).
void finish_fractions(const uint32_t* counts, float* p, int32_t n, int32_t permutations);

// The same when the counts are kept in p's own storage (as uint32 bit
// patterns, see fractions_counted_in_place): each entry is replaced by its
// fraction.
void finish_fractions_in_place(float* p, int32_t n, int32_t permutations);

// A p-value array whose storage holds the integer counts first: the
// permutation cycles tally into counts() (uint32 bit patterns in p's
// floats), and finish() replaces each count by its fraction.
struct fractions_counted_in_place {
    float* p;
    uint32_t* counts() const { return reinterpret_cast<uint32_t*>(p); }
    void finish(int32_t n, int32_t permutations) const { finish_fractions_in_place(p, n, permutations); }
};

}  // namespace corrshift
