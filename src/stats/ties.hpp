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

// The value the permuted scores of one unit (a feature, a run or a set of
// pairs) are compared with: its observed score moved towards the null so
// far that a permuted score equal to it in exact arithmetic counts. Such a
// permutation gives each pair of the unit its observed Fisher difference d
// in exact arithmetic, so each computed permuted difference lies within
// t = tie_tolerance of the observed computed d. Both scores are monotone
// in every difference, which bounds the permuted score by the score of the
// pairs' ends:
//
// - The median (of magnitudes under "two-sided") is the k-th smallest
//   value, so the permuted median lies between the k-th smallest of d - t
//   and of d + t (of |d| - t, not below 0, for magnitudes): the median of
//   the pairs' tie_thresholds. This is within the largest t of the unit
//   (the median is 1-Lipschitz in the max norm) and tighter where that t
//   belongs to a pair far from the median (a correlation near +-1).
// - The mean of magnitudes adds values within [max(|d| - t, 0), |d| + t]
//   (|.| is 1-Lipschitz). Its float32 sum of m terms is within gamma(m)
//   times their exact sum, with gamma(m) = exp(lambda sqrt(m) u + m u^2 /
//   (1 - u)) - 1 under the rounding model and lambda of tie_tolerance
//   (Higham & Mary 2019), and the division by m rounds once.
//
// The moved value is the end on the null's side, the lower one for
// "greater" and "two-sided" (every score is then at least 0), the upper
// one for "less", and never beyond the observed score; NaN stays NaN.
// z, r1, r2: the unit's `count` pairs (sound rules: a NaN difference is no
// member); scratch: `count` floats.
float score_tie_threshold(tail alternative, bool mean, float observed, const float* z, const float* r1,
                          const float* r2, int32_t count, int32_t n1, int32_t n2, float* scratch);

}  // namespace corrshift
