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
// scheme. exp(-y^2 / 2) comes from a Cody-Waite reduction:
// k = round(a / ln 2) for a = -y^2 / 2 (exact, y being a float),
// r = a - k ln 2 in two steps (|r| <= ln 2 / 2), exp(r) by its Taylor
// series to r^13 (remainder below 2^-57; Estrin's scheme too), times 2^k
// from the exponent bits. Beyond 14.5 every Q(y) rounds to float zero
// (Q(14.5) is about 1e-47, the smallest float 1.4e-45), so y is cut to
// 14.5 there, which also keeps huge and infinite arguments finite.
// Q(-y) = 1 - Q(y). No table is read: vector lanes need no gather.
#pragma once

#include <cstdint>

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

constexpr double kLog2e = 0x1.71547652b82fep0;
constexpr double kLn2High = 0x1.62e42fee00000p-1;  // 32 bits: k kLn2High is exact
constexpr double kLn2Low = 0x1.a39ef35793c76p-33;
constexpr double kRoundShift = 0x1.8p52;  // (v + shift) - shift rounds v to an integer
// 1 / j! for j = 0 .. 13.
constexpr double kExpSeries[14] = {1.0,
                                   1.0,
                                   1.0 / 2,
                                   1.0 / 6,
                                   1.0 / 24,
                                   1.0 / 120,
                                   1.0 / 720,
                                   1.0 / 5040,
                                   1.0 / 40320,
                                   1.0 / 362880,
                                   1.0 / 3628800,
                                   1.0 / 39916800,
                                   1.0 / 479001600,
                                   1.0 / 6227020800};

// The polynomial sum of c[j] x^j by Estrin's scheme: terms paired as
// c[2i] + c[2i + 1] x, then those in x^2, x^4, ...; its dependency chain
// is log2(N) steps long, not N as in Horner's rule, so the lanes' work
// overlaps in the pipelines. One level per instantiation: each loop has a
// constant count and unrolls.
template <int N, class V>
inline V estrin_levels(const V (&terms)[N], V power) {
    if constexpr (N == 1) {
        return terms[0];
    } else {
        V next[(N + 1) / 2];
#pragma GCC unroll 16
        for (int i = 0; i < N / 2; ++i) next[i] = terms[2 * i] + terms[2 * i + 1] * power;
        if constexpr (N % 2 == 1) next[N / 2] = terms[N - 1];
        return estrin_levels(next, power * power);
    }
}

template <class V, int N>
inline V estrin(const double (&c)[N], V x) {
    V terms[(N + 1) / 2];
#pragma GCC unroll 16
    for (int i = 0; i < N / 2; ++i) terms[i] = c[2 * i] + c[2 * i + 1] * x;
    if constexpr (N % 2 == 1) terms[N / 2] = V{} + c[N - 1];
    return estrin_levels(terms, x * x);
}

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
    const V k = (a * kLog2e + kRoundShift) - kRoundShift;
    const V r = (a - k * kLn2High) - k * kLn2Low;
    const V q = (f * estrin(kExpSeries, r)) * pow2(k);
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
