"""Accuracy of the normal p-values of corrshift's own entry (sound rules).

The upper tail Q(x) = erfc(x / sqrt 2) / 2 as the kernels compute it (the
"greater" p-value of d = x with standard error 1) and the two-sided p-value
2 Q(|x|), against the float nearest to the exact value (mpmath, 30 digits),
over:
  - a grid: every multiple of 2^-12 in [-16, 16];
  - every float in [13.9, 14.3], where Q(x) is a float denormal or rounds
    to zero;
  - 1,000,000 random floats uniform in [-15, 15] and 500,000 with
    log-uniform magnitude in [1e-8, 15], either sign.
Every kernel build the CPU runs and the scalar form must agree bit for bit.
Prints, per set, the largest error in units of the last place of the
correctly rounded float (2^-149 for denormals) and how many results are not
that float (and how many of those are not float denormals); then the same for the C library's erfc as the classic rules
use it (normal_pvalue), for comparison. Takes a few minutes.

    .venv/bin/python bench/normal_tail_accuracy.py
"""

from __future__ import annotations

import multiprocessing
import sys

import mpmath as mp
import numpy as np

from corrshift import _native_tests as native
from table_cost import cpu_name

mp.mp.dps = 30


def exact_tails(values: np.ndarray) -> list:
    """Q(|x|) of each float, to 30 digits."""
    root2 = mp.sqrt(2)
    return [mp.erfc(abs(mp.mpf(float(x))) / root2) / 2 for x in values]


def nearest_float(v) -> np.float32:
    guess = np.float32(float(v))  # double, then float: may round twice
    candidates = (np.nextafter(guess, np.float32(-1)), guess, np.nextafter(guess, np.float32(2)))
    return min(candidates, key=lambda f: abs(mp.mpf(float(f)) - v))


SMALLEST_NORMAL = np.finfo(np.float32).tiny


def errors(got: np.ndarray, exact: list) -> tuple[float, int, int]:
    """Largest error in units of the last place of the correctly rounded
    float, how many results differ from it, and how many of those lie
    above the float denormals."""
    worst, differ, differ_normal = 0.0, 0, 0
    for g, v in zip(got, exact):
        best = nearest_float(v)
        if g != best:
            differ += 1
            differ_normal += bool(best >= SMALLEST_NORMAL)
        ulp = float(np.spacing(np.float32(abs(best))))
        worst = max(worst, float(abs(mp.mpf(float(g)) - v)) / ulp)
    return worst, differ, differ_normal


def pvalues(x: np.ndarray, alternative: str, sound: bool = True, reference: bool = False) -> np.ndarray:
    out = np.empty_like(x)
    native.normal_pvalues(x, out, 1.0, alternative, sound, reference)
    return out


def sets() -> dict[str, np.ndarray]:
    rng = np.random.default_rng(1)
    lo, hi = np.float32(13.9).view(np.uint32), np.float32(14.3).view(np.uint32)
    magnitude = np.exp(rng.uniform(np.log(1e-8), np.log(15.0), 500_000))
    return {
        "grid of 2^-12 in [-16, 16]": (np.arange(-16 * 4096, 16 * 4096 + 1) / 4096).astype(np.float32),
        "every float in [13.9, 14.3]": np.arange(lo, hi + 1, dtype=np.uint32).view(np.float32),
        "random uniform in [-15, 15]": rng.uniform(-15, 15, 1_000_000).astype(np.float32),
        "random log-uniform |x| in [1e-8, 15]": (magnitude * rng.choice([-1, 1], magnitude.size)).astype(np.float32),
    }


def main() -> None:
    builds = native.available_kernels()
    print(f"CPU: {cpu_name()}; kernel builds {', '.join(builds)}")
    with multiprocessing.Pool() as pool:
        for name, x in sets().items():
            chunks = np.array_split(x, 64)
            of_magnitude = [v for part in pool.map(exact_tails, chunks) for v in part]
            q = [v if xv >= 0 else 1 - v for v, xv in zip(of_magnitude, x)]
            two = [2 * v for v in of_magnitude]
            upper = pvalues(x, "greater", reference=True)
            for build in builds:
                native.use_kernels(build)
                for alt in ("greater", "two-sided", "less"):
                    if not np.array_equal(pvalues(x, alt), pvalues(x, alt, reference=True), equal_nan=True):
                        sys.exit(f"{build} differs from the scalar form ({name}, {alt})")
            native.use_kernels("")
            print(f"{name}: {x.size:,} values")
            for label, got, exact in [
                ("upper tail", upper, q),
                ("two-sided", pvalues(x, "two-sided", reference=True), two),
                # The classic rules' "less" p-value of -x is the C library's erfc at x.
                ("erfc (classic) upper tail", pvalues(-x, "less", sound=False), q),
            ]:
                worst, differ, normal = errors(got, exact)
                print(f"  {label}: max {worst:.3f} ulp; {differ:,} not correctly rounded ({differ / x.size:.2g}), "
                      f"{normal:,} of them above the denormals")
            sys.stdout.flush()


if __name__ == "__main__":
    main()
