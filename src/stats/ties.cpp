#include "ties.hpp"

#include <algorithm>
#include <cmath>

#include "refine.hpp"
#include "score.hpp"

namespace corrshift {

namespace {

constexpr double kUnit = 0x1p-24;
constexpr double kLambda = 8.0;
constexpr double kMostAmplifiedR = kRefinedAbove;

// The bound on one group's r, times the Fisher transform's amplification.
double fisher_error(float r, int32_t n) {
    const double r_error = (2.0 * kLambda * std::sqrt(static_cast<double>(n)) + 8.0) * kUnit;
    const double a = std::min(std::fabs(static_cast<double>(r)), kMostAmplifiedR);
    const double transformed = std::atanh(std::min(std::fabs(static_cast<double>(r)), 1.0 - kUnit));
    return r_error / (1.0 - a * a) + 2.0 * kUnit * transformed;
}

// A bound on the relative error of a float32 mean of m non-negative terms:
// gamma(m) of the sum (see score_tie_threshold), one rounding of the
// division and, with room to spare, one of the moved value's conversion to
// float.
double mean_rounding(int64_t m) {
    const double n = static_cast<double>(m);
    return std::expm1(kLambda * std::sqrt(n) * kUnit + n * kUnit * kUnit / (1.0 - kUnit)) + 2.0 * kUnit;
}

float mean_tie_threshold(tail alternative, float observed, const float* z, const float* r1, const float* r2,
                         int32_t count, int32_t n1, int32_t n2) {
    double low = 0.0, high = 0.0;
    int64_t m = 0;
    for (int32_t k = 0; k < count; ++k) {
        if (std::isnan(z[k])) continue;
        const double t = tie_tolerance(r1[k], r2[k], n1, n2);
        const double a = std::fabs(static_cast<double>(z[k]));
        low += std::max(a - t, 0.0);
        high += a + t;
        ++m;
    }
    if (m == 0) return observed;
    const double rounding = mean_rounding(m);
    switch (alternative) {
        case tail::less: return std::max(observed, static_cast<float>(high / m * (1.0 + rounding)));
        case tail::greater:
        case tail::two_sided: return std::min(observed, static_cast<float>(low / m * (1.0 - rounding)));
        case tail::unknown: break;
    }
    return observed;
}

}  // namespace

double tie_tolerance(float r1, float r2, int32_t n1, int32_t n2) {
    return 2.0 * (fisher_error(r1, n1) + fisher_error(r2, n2));
}

void tie_thresholds(tail alternative, const float* z, const float* r1, const float* r2, int32_t n1, int32_t n2,
                    float* out, int64_t n) {
    for (int64_t k = 0; k < n; ++k) {
        const double d = z[k];
        if (std::isnan(d)) {
            out[k] = z[k];
            continue;
        }
        const double tol = tie_tolerance(r1[k], r2[k], n1, n2);
        double t = d;
        switch (alternative) {
            case tail::greater: t = d - tol; break;
            case tail::less: t = d + tol; break;
            case tail::two_sided: t = std::copysign(std::max(std::fabs(d) - tol, 0.0), d); break;
            case tail::unknown: break;
        }
        out[k] = static_cast<float>(t);
    }
}

float score_tie_threshold(tail alternative, bool mean, float observed, const float* z, const float* r1,
                          const float* r2, int32_t count, int32_t n1, int32_t n2, float* scratch) {
    if (std::isnan(observed)) return observed;
    if (mean) return mean_tie_threshold(alternative, observed, z, r1, r2, count, n1, n2);
    tie_thresholds(alternative, z, r1, r2, n1, n2, scratch, count);
    return select_defined_quantile(scratch, count, kMedianQuantile, alternative == tail::two_sided);
}

}  // namespace corrshift
