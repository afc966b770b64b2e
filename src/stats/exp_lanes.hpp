// exp and tanh in double precision written once over "lanes": a double (the
// scalar forms) or a vector of doubles (fast/kernel_normal.hpp, every build
// of the fast kernels). Both run the same double operations in the same
// order, each lane on its own, so they give the same bits; no table is
// read, so vector lanes need no gather.
//
// exp(a) comes from a Cody-Waite reduction: k = round(a / ln 2),
// r = a - k ln 2 in two steps (|r| <= ln 2 / 2), exp(r) by its Taylor
// series to r^13 (remainder below 2^-57; Estrin's scheme), times 2^k from
// the exponent bits (the caller's pow2).
#pragma once

#include <cmath>

namespace corrshift {

namespace exp_lanes {

constexpr double kLog2e = 0x1.71547652b82fep0;
constexpr double kLn2High = 0x1.62e42fee00000p-1;  // 32 bits: k kLn2High is exact
constexpr double kLn2Low = 0x1.a39ef35793c76p-33;
constexpr double kRoundShift = 0x1.8p52;  // (v + shift) - shift rounds v to an integer
// 1 / (j + first)! for j = 0 .. N - 1, each an exact factorial divided
// into 1 once (factorials up to 16! are exact doubles).
template <int N, int First>
struct inverse_factorials {
    double c[N] = {};
    constexpr inverse_factorials() {
        double factorial = 1.0;
        for (int j = 2; j < First; ++j) factorial *= j;
        for (int j = 0; j < N; ++j) {
            if (j + First > 1) factorial *= j + First;
            c[j] = 1.0 / factorial;
        }
    }
};
// exp(r) for |r| <= ln 2 / 2: 1 / j! for j = 0 .. 13.
constexpr inverse_factorials<14, 0> kExpSeries;
// (exp(a) - 1) / a for |a| <= 1/2: 1 / (j + 1)! for j = 0 .. 15 (remainder
// below 2^-60 of the sum).
constexpr inverse_factorials<16, 1> kExpm1Series;

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

// 2^k of an integral k, for the scalar forms (the vector forms build it
// from the exponent bits).
inline double pow2_scalar(double k) { return std::ldexp(1.0, static_cast<int>(k)); }

// exp(a) = series 2^k.
template <class V>
struct exp_parts {
    V k, series;
};

template <class V>
inline exp_parts<V> exp_reduced(V a) {
    const V k = (a * kLog2e + kRoundShift) - kRoundShift;
    const V r = (a - k * kLn2High) - k * kLn2Low;
    return {k, estrin(kExpSeries.c, r)};
}

// Beyond this tanh rounds to float 1 (1 - tanh(9.5) is about 1.1e-8, under
// half the float step below 1).
constexpr double kTanhEnd = 9.5;

// tanh(x) of the lanes x (floats widened to double) within a few units in
// the last place of a double: with y = |x| cut to kTanhEnd and
// m = exp(2y) - 1, tanh y = m / (m + 2); m comes from its own series for
// 2y <= 1/2 (no cancellation near 0) and from exp(2y) - 1 above (which
// loses under a bit there). The sign of x is restored; NaN stays NaN.
// pow2(k) is 2^k of the lanes' integral k in [0, 28].
template <class V, class Pow2>
inline V tanh_lanes(V x, Pow2 pow2) {
    V y = x < 0.0 ? -x : x;
    y = y < kTanhEnd ? y : V{} + kTanhEnd;  // NaN too
    const V a = y + y;
    const exp_parts<V> e = exp_reduced(a);
    const V m = a <= 0.5 ? a * estrin(kExpm1Series.c, a) : e.series * pow2(e.k) - 1.0;
    const V t = m / (m + 2.0);
    const V signed_t = x < 0.0 ? -t : t;
    return x == x ? signed_t : x;
}

}  // namespace exp_lanes

}  // namespace corrshift
