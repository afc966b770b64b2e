"""Prints the series of the vectorised normal upper tail (src/stats/normal_tail.hpp).

The upper tail Q(y) = erfc(y / sqrt 2) / 2 of y >= 0 is computed as
f(y) * exp(-y^2 / 2), where f(y) = Q(y) exp(y^2 / 2) is smooth and slowly
varying (f(0) = 1/2, f(y) ~ 1 / (y sqrt(2 pi)) for large y). In the variable
v = (1.25 y - 3) / (y + 4), which maps y in [0, 14.5] to [-0.75, 0.818]
(and [0, inf) into [-0.75, 1.25)), f is a polynomial of degree 20 to within
1.1e-16 of its smallest value on that range: this script interpolates f at
the Chebyshev nodes of the range in 50-digit arithmetic (mpmath's chebyfit)
and prints the coefficients, rounded to double, as C++. On stderr: the
largest relative error of f over 4,001 points of [0, 14.5], evaluated in
double precision as the kernels evaluate it (the division, then Estrin's
scheme), which rounding dominates.

    python3 tools/normal_tail_fit.py
"""
import sys

import mpmath as mp

mp.mp.dps = 50
DEGREE = 20
END = mp.mpf("14.5")


def scaled_tail(y):
    return mp.erfc(y / mp.sqrt(2)) / 2 * mp.exp(y * y / 2)


def variable(y):
    return (1.25 * y - 3) / (y + 4)


def estrin(c, x):
    """sum c[j] x^j, lowest power first, in the order of the kernels."""
    terms = [c[2 * i] + c[2 * i + 1] * x for i in range(len(c) // 2)] + ([c[-1]] if len(c) % 2 else [])
    power = x
    while len(terms) > 1:
        power = power * power
        terms = [terms[2 * i] + terms[2 * i + 1] * power for i in range(len(terms) // 2)] + (
            [terms[-1]] if len(terms) % 2 else [])
    return terms[0]


def main():
    def of_v(v):
        return scaled_tail((3 + 4 * v) / (mp.mpf("1.25") - v))

    # Highest power first.
    poly = [float(c) for c in mp.chebyfit(of_v, [mp.mpf("-0.75"), variable(END)], DEGREE + 1)]
    worst = 0.0
    for i in range(4001):
        y = float(END * i / 4000)
        v = variable(y)  # in double, as the kernels take it
        value = estrin(poly[::-1], v)
        exact = scaled_tail(mp.mpf(y))
        worst = max(worst, abs(float((value - exact) / exact)))
    print(f"largest relative error of f in double precision: {worst:.3g}", file=sys.stderr)
    print("constexpr double kTailSeries[kTailDegree + 1] = {")
    for c in reversed(poly):
        print(f"    {c.hex()},")
    print("};")


if __name__ == "__main__":
    main()
