// The two sets of statistical rules the engine computes by. Every kernel
// follows one of them, chosen per call; the arithmetic is otherwise the
// same (float32 sums in sample order, products rounded before they are
// added), so the fast kernels match the straightforward ones under both.
#pragma once

#include <cmath>
#include <cstdint>

namespace corrshift {

enum class statistics {
    // The `pipelines` module: tied values ranked in sort order, -2.0 for a
    // correlation with a zero-variance row, correlations clamped to
    // [-0.99, 0.99] before the Fisher transform.
    classic,
    // corrshift's own entry: tied values share their average rank; r is
    // the sum of products of the rows centred and scaled to a unit sum of
    // squares (no cancellation between sums, no division per pair); a
    // correlation with a row whose values are all equal (or over NaN data)
    // is NaN; r is capped to [-1, 1] and its Fisher transform taken at most
    // at the largest float below 1, so it stays finite; a permutation cycle
    // whose statistic is undefined counts neither as extreme nor as not.
    sound,
};

struct classic_rules {
    static constexpr statistics kind = statistics::classic;
    static constexpr bool sound = false;
    // Bound of |r| entering the Fisher transform.
    static constexpr float fisher_bound = 0.99f;
};

struct sound_rules {
    static constexpr statistics kind = statistics::sound;
    static constexpr bool sound = true;
    static constexpr float fisher_bound = 0x1.fffffep-1f;  // 1 - 2^-24
};

// Calls f(classic_rules{}) or f(sound_rules{}).
template <class F>
decltype(auto) with_rules(statistics s, F&& f) {
    if (s == statistics::sound) return f(sound_rules{});
    return f(classic_rules{});
}

// r limited to [-bound, bound]; a NaN passes through unchanged.
inline float bound_correlation(float r, float bound) {
    if (r < -bound) return -bound;
    if (r > bound) return bound;
    return r;
}

}  // namespace corrshift
