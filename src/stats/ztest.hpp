// Fisher z-test of the difference between two groups' correlations.
#pragma once

#include <cstdint>
#include <string>

#include "options.hpp"
#include "rules.hpp"

namespace corrshift {

// Classic rules clamp correlations to [-0.99, 0.99] before the Fisher
// transform.
constexpr float kClamp = classic_rules::fisher_bound;

// Single-precision inverse hyperbolic tangent: taken in double precision
// and rounded once, so it does not depend on the C library's atanhf.
float fisher_transform(float c);

// tanh of a Fisher difference taken in double precision (exp_lanes.hpp:
// within a few units of a double's last place, the same bits as each lane
// of the fast kernels' vector form) and rounded to float: what the fast
// tally compares (c1 - c2) / (1 - c1 c2) with.
float tanh_of_difference(float z);

// c clamped to [-0.99, 0.99]; a NaN passes through unchanged.
inline float clamp_correlation(float r) { return bound_correlation(r, kClamp); }

// The Fisher transform of r limited to [-bound, bound] (NaN stays NaN).
inline float bounded_fisher(float r, float bound) { return fisher_transform(bound_correlation(r, bound)); }

// Standard error of a Fisher difference between groups of n1 and n2
// samples: sqrt(1/(n1-3) + 1/(n2-3)), each term times 1.5 for "spearman".
float difference_standard_error(int32_t n1, int32_t n2, bool spearman);

// Normal-approximation p-value of the Fisher difference d with standard
// error se under the alternative, by the C library's erfc (the classic
// rules; the sound ones use sound_normal_pvalue of normal_tail.hpp); -2.0
// for an unknown alternative.
float normal_pvalue(tail alternative, float d, float se);

// For k in [begin, end): z_diff[k] = atanh(clamp(corr1[k])) - atanh(clamp(corr2[k]))
// and, when p is not null, the normal p-value of that difference under the
// alternative (-2.0 for an alternative that is none of the three).
int fisher_ztest(const float* corr1, int32_t n1, const float* corr2, int32_t n2, float* z_diff, float* p,
                 int32_t begin, int32_t end, std::string method, std::string alternative);

// For k in [begin, end): z_diff[k] = the Fisher difference of corr1[k] and
// corr2[k] under the rules and, when p is not null, its normal p-value
// (normal_pvalue or, under sound rules, sound_normal_pvalue).
void fisher_differences(const float* corr1, const float* corr2, float* z_diff, float* p, int32_t begin,
                        int32_t end, tail alternative, float se, statistics rules);

// Both groups' correlations of the pair positions [begin, end) and their
// Fisher differences under the rules (normal p-values when p is not null).
// first and second null select the condensed pair order.
void pair_statistics(const float* matrix, int32_t samples, const int32_t* first, const int32_t* second,
                     int32_t begin, int32_t end, int32_t features, const int32_t* columns1,
                     const int32_t* columns2, int32_t n1, int32_t n2, float* corr1, float* corr2, float* z_diff,
                     float* p, tail alternative, float se, statistics rules);

// Both groups' correlations of the pair positions [begin, end), then their
// Fisher test. first and second null select the condensed pair order.
int ztest_worker(const float* matrix, int32_t samples, const int32_t* first, const int32_t* second,
                 int32_t begin, int32_t end, int32_t features, const int32_t* columns1,
                 const int32_t* columns2, int32_t n1, int32_t n2, float* corr1, float* corr2, float* z_diff,
                 float* p, std::string method, std::string alternative);

}  // namespace corrshift
