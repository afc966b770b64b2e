"""Prints the coefficient table of the vectorised normal upper tail.

The upper tail Q(y) = erfc(y / sqrt 2) / 2 of y >= 0 is computed as
f(y) * exp(-y^2 / 2), where f(y) = Q(y) exp(y^2 / 2) is smooth and slowly
varying (f(0) = 1/2, f(y) ~ 1 / (y sqrt(2 pi)) for large y). On each piece
[m - 1/4, m + 1/4] of [0, 14.5] (m the piece's middle) this script fits f by
a polynomial in t = y - m of degree 12: interpolation at the Chebyshev nodes,
in 60-digit arithmetic (mpmath), each coefficient then rounded to double.
It prints the table as C++ (src/stats/normal_tail.cpp holds its output) and,
on stderr, the largest relative error of each fit over 400 points of its
piece, evaluated in double precision as the kernels evaluate it.

    python3 tools/normal_tail_fit.py > table.txt
"""
import sys

import mpmath as mp

mp.mp.dps = 60
WIDTH = mp.mpf(1) / 2  # of a piece
PIECES = 29  # [0, 14.5]
DEGREE = 12


def scaled_tail(y):
    y = mp.mpf(y)
    return mp.erfc(y / mp.sqrt(2)) / 2 * mp.exp(y * y / 2)


def fit(middle):
    count = DEGREE + 1
    half = WIDTH / 2
    nodes = [half * mp.cos(mp.pi * (k + mp.mpf(1) / 2) / count) for k in range(count)]
    system = mp.matrix([[t**j for j in range(count)] for t in nodes])
    coefficients = mp.lu_solve(system, mp.matrix([scaled_tail(middle + t) for t in nodes]))
    return [float(coefficients[j]) for j in range(count)]


def worst_error(middle, coefficients):
    worst = 0.0
    for i in range(401):
        t = float(WIDTH * (mp.mpf(i) / 400 - mp.mpf(1) / 2))
        value = coefficients[-1]
        for c in reversed(coefficients[:-1]):
            value = value * t + c
        exact = scaled_tail(middle + t)
        worst = max(worst, abs(float((value - exact) / exact)))
    return worst


def main():
    table = []
    for piece in range(PIECES):
        middle = (piece + mp.mpf(1) / 2) * WIDTH
        coefficients = fit(middle)
        table.append(coefficients)
        print(f"piece {piece}: largest relative error {worst_error(middle, coefficients):.3g}", file=sys.stderr)
    print(f"const double normal_tail_coefficients[kTailDegree + 1][kTailPieces] = {{")
    for j in range(DEGREE + 1):
        print(f"    {{  // t^{j}")
        for piece in range(PIECES):
            print(f"        {table[piece][j].hex()},")
        print("    },")
    print("};")


if __name__ == "__main__":
    main()
