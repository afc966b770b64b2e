#include "ties.hpp"

#include <algorithm>
#include <cmath>

#include "refine.hpp"

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

}  // namespace corrshift
