// The upper tail of the standard normal distribution under the sound rules,
// written once over "lanes": a double (normal_tail.cpp, the straightforward
// kernels) or a vector of doubles (fast/kernel_normal.hpp, every build of
// the fast kernels). Both run the same double operations in the same order,
// each lane on its own, so they give the same bits.
//
// For y = |x|, Q(y) = erfc(y / sqrt 2) / 2 = f(y) exp(-y^2 / 2), where
// f(y) = Q(y) exp(y^2 / 2) is smooth and slowly varying: on each piece of
// width 1/2 of [0, 14.5] a polynomial of degree 12 in t = y - (the piece's
// middle), fitted offline (tools/normal_tail_fit.py prints the table;
// relative error of each fit below 2.1e-16). exp(-y^2 / 2) is taken with
// a Cody-Waite reduction: k = round(a / ln 2) for a = -y^2 / 2 (exact, y
// being a float), r = a - k ln 2 in two steps (|r| <= ln2 / 2), exp(r) by
// its Taylor series to r^13 (remainder below 2^-57), times 2^k from the
// exponent bits. Beyond 14.5 every Q(y) rounds to float zero (Q(14.5) is
// about 1e-47, the smallest float 1.4e-45), so y is cut to 14.5 there,
// which also keeps huge and infinite arguments finite. Q(-y) = 1 - Q(y).
#pragma once

#include <cstdint>

#include "options.hpp"

namespace corrshift {

constexpr int kTailPieces = 29;
constexpr int kTailDegree = 12;
constexpr double kTailPieceWidth = 0.5;
constexpr double kTailEnd = kTailPieces * kTailPieceWidth;

// Coefficient j of piece i at [j][i]: the pieces of one power side by side,
// so that vector lanes gather a power's coefficients from one row.
extern const double normal_tail_coefficients[kTailDegree + 1][kTailPieces];

// The upper tail Q(x) = erfc(x / sqrt 2) / 2 rounded to float: NaN for a
// NaN. Over every float x in [-16, 16] at steps of 2^-12, every float x in
// [13.9, 14.3] (where Q(x) is a float denormal) and 2 million random x,
// the result was the float nearest to the exact value for all but a
// fraction of about 1e-8 of them, and never more than one float step away
// (bench/normal_tail_accuracy.py).
float normal_upper_tail(float x);

// The normal p-value of the Fisher difference d with standard error se
// under the sound rules: "less" Q(-(d / se)), "greater" Q(d / se) (each
// rounded to float once, so as accurate as Q), "two-sided" h + h with
// h = Q(|d| / se); -2.0 for an unknown alternative.
float sound_normal_pvalue(tail alternative, float d, float se);

namespace normal_tail {

constexpr double kLog2e = 0x1.71547652b82fep0;
constexpr double kLn2High = 0x1.62e42fee00000p-1;  // 32 bits: k ln2High is exact
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

// Q(x) of the lanes x (floats widened to double) in double precision.
// Lanes supplies what involves no rounding: piece_of(y) (the piece index
// of y in [0, kTailEnd]), middle(piece), coefficient(j, piece) and pow2(k)
// (2^k of an integral k in [-160, 0]).
template <class V, class Lanes>
inline V upper_tail_lanes(V x, const Lanes& lanes) {
    V y = x < 0.0 ? -x : x;
    y = y < kTailEnd ? y : V{} + kTailEnd;  // NaN too
    const auto piece = lanes.piece_of(y);
    const V t = y - lanes.middle(piece);  // exact
    V f = lanes.coefficient(kTailDegree, piece);
#pragma GCC unroll 16
    for (int j = kTailDegree - 1; j >= 0; --j) f = f * t + lanes.coefficient(j, piece);
    const V a = (y * y) * -0.5;  // exact: y has 24 significant bits
    const V k = (a * kLog2e + kRoundShift) - kRoundShift;
    const V r = (a - k * kLn2High) - k * kLn2Low;
    V e = V{} + kExpSeries[13];
#pragma GCC unroll 16
    for (int j = 12; j >= 0; --j) e = e * r + kExpSeries[j];
    const V q = (f * e) * lanes.pow2(k);
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
