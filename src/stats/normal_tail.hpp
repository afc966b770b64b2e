// The upper tail of the standard normal distribution under the sound rules,
// written once over "lanes": a double (normal_tail.cpp, the straightforward
// kernels) or a vector of doubles (fast/kernel_normal.hpp, every build of
// the fast kernels). Both run the same double operations in the same order,
// each lane on its own, so they give the same bits.
//
// For y = |x|, Q(y) = erfc(y / sqrt 2) / 2 = f(y) exp(-y^2 / 2), where
// f(y) = Q(y) exp(y^2 / 2) is smooth and slowly varying; in the variable
// v = (1.25 y - 3) / (y + 4) it is a polynomial of degree 20 over y in
// [0, 14.5], fitted offline (tools/normal_tail_fit.py prints the series;
// relative error in double precision below 1.7e-15), summed by Estrin's
// scheme. exp(-y^2 / 2) comes from the Cody-Waite reduction of
// exp_lanes.hpp for a = -y^2 / 2 (exact, y being a float), times 2^k from
// the exponent bits. Beyond 14.5 every Q(y) rounds to float zero
// (Q(14.5) is about 1e-47, the smallest float 1.4e-45), so y is cut to
// 14.5 there, which also keeps huge and infinite arguments finite.
// Q(-y) = 1 - Q(y). No table is read: vector lanes need no gather.
#pragma once

#include <cstdint>

#include "exp_lanes.hpp"
#include "options.hpp"

namespace corrshift {

// The upper tail Q(x) = erfc(x / sqrt 2) / 2 rounded to float: NaN for a
// NaN. Against the exact value (mpmath, 30 digits;
// bench/normal_tail_accuracy.py), over every multiple of 2^-12 in
// [-16, 16], every float in [13.9, 14.3] (where Q(x) is a float denormal
// or rounds to 0) and 1.5 million random x of either sign, 2,050,505
// values in all, every result was the float nearest to the exact value.
float normal_upper_tail(float x);

// The normal p-value of the Fisher difference d with standard error se
// under the sound rules: "less" Q(-(d / se)), "greater" Q(d / se) (each
// rounded to float once, so as accurate as Q), "two-sided" h + h with
// h = Q(|d| / se), an exact doubling above the float denormals; below
// 2^-125 (2.4e-38), where h is a denormal, within one float step of the
// exact 2 Q and not the nearest float in about half the cases. -2.0 for an
// unknown alternative.
float sound_normal_pvalue(tail alternative, float d, float se);

namespace normal_tail {

using namespace exp_lanes;

constexpr double kEnd = 14.5;
constexpr int kTailDegree = 20;
// f in powers of v, lowest first (tools/normal_tail_fit.py).
constexpr double kTailSeries[kTailDegree + 1] = {
    0x1.2b136cd947f67p-3,
    -0x1.fc2b292c4c2e7p-3,
    0x1.87531b182bf18p-3,
    -0x1.ba2153945e907p-4,
    0x1.547a3541aae44p-5,
    -0x1.0f516ea03888bp-7,
    -0x1.c19fea8acdd95p-11,
    0x1.c5ee4d2384d8ap-11,
    -0x1.80e3e979a7cadp-16,
    -0x1.788a192a16b8bp-14,
    0x1.f480afbf903d9p-19,
    0x1.7384feb68ea7fp-17,
    0x1.75915245605b6p-22,
    -0x1.89b89a4f54ffdp-20,
    -0x1.1d34fb096608cp-22,
    0x1.6fec4a2755406p-23,
    0x1.49a02b574560dp-24,
    -0x1.8d32052aae4adp-27,
    -0x1.06ff8e70330d3p-26,
    -0x1.da163ff07f691p-32,
    0x1.00e5b8e725d5bp-29,
};

// Q(x) of the lanes x (floats widened to double) in double precision;
// pow2(k) is 2^k of the lanes' integral k in [-160, 0] (no rounding).
template <class V, class Pow2>
inline V upper_tail_lanes(V x, Pow2 pow2) {
    V y = x < 0.0 ? -x : x;
    y = y < kEnd ? y : V{} + kEnd;  // NaN too
    // The numerator and denominator are exact but for y below 2^-26 or so.
    const V v = (1.25 * y - 3.0) / (y + 4.0);
    const V f = estrin(kTailSeries, v);
    const V a = (y * y) * -0.5;  // exact: y has 24 significant bits
    const exp_parts<V> e = exp_reduced(a);
    const V q = (f * e.series) * pow2(e.k);
    const V signed_q = x < 0.0 ? 1.0 - q : q;
    return x == x ? signed_q : x;
}

// The p-value of the lanes of Fisher differences d (float lanes F) as
// sound_normal_pvalue states it; Lanes supplies upper_tail(x) (Q of float
// lanes, rounded to float) and magnitude(d).
template <class F, class Lanes>
inline F pvalue_lanes(tail alternative, F d, float se, const Lanes& lanes) {
    switch (alternative) {
        case tail::less: return lanes.upper_tail(-(d / se));
        case tail::greater: return lanes.upper_tail(d / se);
        case tail::two_sided: {
            const F h = lanes.upper_tail(lanes.magnitude(d) / se);
            return h + h;
        }
        case tail::unknown: break;
    }
    return F{} - 2.0f;
}

}  // namespace normal_tail

}  // namespace corrshift
