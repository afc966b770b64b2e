// Benjamini-Hochberg q-values of single-precision p-values.
#pragma once

#include <cstdint>

namespace corrshift {

// q[k] = the Benjamini-Hochberg q-value of p[k] among the defined p-values
// of p[0 .. n-1] (NaN where p[k] is NaN): with the m defined p-values in
// ascending order p_(1) <= ... <= p_(m), q of p_(i) is the smallest of
// p_(j) * (m / j) over j >= i, at most 1. Each product is the double
// p * (double(m) / j), so the q-values equal those of
// scipy.stats.false_discovery_control(p, method="bh") bit for bit. The
// p-values lie in [0, 1] or are NaN (std::invalid_argument otherwise);
// n < 2^32. Ordered by a radix sort of
// the float bits (three stable passes, no comparisons) on `threads`
// threads; the result does not depend on their number.
void bh_qvalues(const float* p, int64_t n, double* q, int32_t threads);

}  // namespace corrshift
