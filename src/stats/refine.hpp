// Correlations near +-1 recomputed in double precision (sound rules). A
// float32 sum of products errs by some sqrt(n) 2^-24 in r, and the Fisher
// transform multiplies that by 1 / (1 - r^2): near |r| = 1 the float32
// difference is noise, and these are the pairs that top every ranking.
// Where |r| > kRefinedAbove in a group, r is taken again from the same
// standardised float32 values with double sums (the products of floats are
// exact in double), r = sxy / sqrt(sxx syy), and its Fisher transform is
// taken from that double value. Two groups holding equal values give r = 1
// exactly. Every kernel build and the straightforward kernels do the same
// scalar arithmetic, so their results stay equal bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "rules.hpp"
#include "ztest.hpp"

namespace corrshift {

constexpr float kRefinedAbove = kClamp;

// Whether a correlation is recomputed (never for NaN).
inline bool needs_refinement(float r) { return std::fabs(r) > kRefinedAbove; }

// The correlation of two standardised rows of n values, x[s * stride] and
// y[s * stride], from double sums in sample order.
inline double refined_correlation(const float* x, const float* y, int32_t n, int64_t stride) {
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
    for (int32_t s = 0; s < n; ++s) {
        const double a = x[s * stride], b = y[s * stride];
        sxy += a * b;
        sxx += a * a;
        syy += b * b;
    }
    return sxy / std::sqrt(sxx * syy);
}

// The reported correlation: capped to [-1, 1].
inline float refined_reported(double r) { return static_cast<float>(std::clamp(r, -1.0, 1.0)); }

// Its Fisher transform, r capped at the sound bound as the float path caps it.
inline float refined_fisher(double r) {
    const double bound = sound_rules::fisher_bound;
    return static_cast<float>(std::atanh(std::clamp(r, -bound, bound)));
}

// One pair's sound Fisher difference from its float32 correlations r1, r2
// (both defined), each recomputed by `refine(group)` (1 or 2) where it
// needs it; the reported correlations of refined groups into *out1, *out2.
template <class Refine>
inline float refined_difference(float r1, float r2, const Refine& refine, float* out1, float* out2) {
    float a[2];
    const float r[2] = {r1, r2};
    float* out[2] = {out1, out2};
    for (int g = 0; g < 2; ++g) {
        if (needs_refinement(r[g])) {
            const double exact = refine(g + 1);
            a[g] = refined_fisher(exact);
            if (out[g] != nullptr) *out[g] = refined_reported(exact);
        } else {
            a[g] = bounded_fisher(r[g], sound_rules::fisher_bound);
        }
    }
    return a[0] - a[1];
}

}  // namespace corrshift
