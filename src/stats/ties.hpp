// Ties that exact arithmetic would make. Two splits of the samples whose
// groups hold the same values (tied data: zeros, ranks of equal values)
// have equal correlations in exact arithmetic, but float32 sums over other
// samples round differently, so a permuted statistic equal to the observed
// one could come out a little smaller and not count as "at least as
// extreme". The tally therefore compares each permuted difference with the
// observed one moved towards the null by the arithmetic's error bound.
#pragma once

#include <cstdint>

#include "options.hpp"

namespace corrshift {

// A bound on the float32 rounding error of a sound Fisher difference
// atanh(r1) - atanh(r2) over groups of n1 and n2 samples, as computed by
// the engine, for two computations of it:
//
// r is the sum of n products of rows centred and scaled to a unit sum of
// squares. With rounding errors modelled as independent and of mean zero,
// a sum of n terms is within lambda sqrt(n) u of its exact value, relative
// to the sum of the terms' magnitudes, except with probability at most
// 2n exp(-lambda^2 (1 - u)^2 / 2) (Higham & Mary 2019, SIAM J. Sci.
// Comput. 41, A2815; u = 2^-24). The magnitudes of the products sum to at
// most 1 (Cauchy-Schwarz on unit rows); each row's scale comes from a sum of n squares and errs by about
// half of that, so |r - r_exact| <= (2 lambda sqrt(n) + 8) u. The Fisher
// transform multiplies this by 1 / (1 - r^2) and rounds once more. Two
// computations of a tied statistic each err by the bound, so their
// difference is within twice it. lambda = 8: the bound fails with
// probability below 3e-14 n.
//
// Beyond |r| = 0.99 the correlation is recomputed with double sums
// (refine.hpp), whose error is far below this bound's; the factor
// 1 / (1 - r^2) is therefore taken at |r| <= 0.99 at most, so that such
// pairs are not made untestable by a bound that does not apply to them.
double tie_tolerance(float r1, float r2, int32_t n1, int32_t n2);

// The values the permuted differences are compared with: each observed
// difference z[k] moved towards the null by tie_tolerance of its pair (for
// "two-sided" its magnitude shrunk, never below 0; NaN stays NaN), into
// out[k], k in [0, n).
void tie_thresholds(tail alternative, const float* z, const float* r1, const float* r2, int32_t n1, int32_t n2,
                    float* out, int64_t n);

}  // namespace corrshift
