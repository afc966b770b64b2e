"""Whole permutation cycles on the path users run: `python bench/user_path.py`.

The data go through corrshift's own preparation (each group's samples in
their order of their own, every feature standardised within each group;
under "spearman" its average ranks within the group, standardised), then
through the native call that ``corrshift.ztest`` makes. Three kinds of data
at K features and n + n samples:

  untied   normal values: no two equal
  ranked   normal values rounded to two digits: ties within every group
  sparse   counts of a single-cell-like matrix (most values 0): large blocks
           of ties

For each, the whole cycle (rows, ranks and pairs) of both methods, as a
share of the machine's multiply+add probe (bench/peak_probe.c, on the same
threads in the same run), and the ratio Spearman / Pearson.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

from corrshift import native
from corrshift.api import prepare
from machine import cpu_name, peak_rate

THREADS = 2


def make_data(kind: str, k: int, n: int) -> np.ndarray:
    rng = np.random.default_rng(7)
    if kind == "untied":
        return rng.normal(size=(k, 2 * n))
    if kind == "ranked":
        return np.round(rng.normal(size=(k, 2 * n)), 2)
    # Counts: each feature expressed in a share of the samples, mostly zeros.
    rate = rng.gamma(0.5, 1.0, size=(k, 1))
    return rng.poisson(rate * (rng.random((k, 2 * n)) < 0.3)).astype(np.float64)


def per_cycle(call, cycles: int, repeats: int = 3) -> float:
    """(T(cycles) - T(0)) / cycles, each the best of a few runs."""
    def best(m):
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            call(m)
            times.append(time.perf_counter() - start)
        return min(times)
    return max(best(cycles) - best(0), 1e-9) / cycles


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", type=int, default=2000)
    parser.add_argument("--samples", type=int, default=250, help="per group")
    parser.add_argument("--cycles", type=int, default=100)
    args = parser.parse_args()
    k, n = args.features, args.samples
    peak = peak_rate(THREADS)
    print(f"machine: {cpu_name()}, {os.cpu_count()} CPUs; {THREADS} threads; multiply+add peak "
          f"{peak / 1e9:.1f} G lane pairs/s (probe, no FMA)")
    print(f"corrshift.ztest's native call, K={k}, n={n}+{n}, whole cycle over {args.cycles} cycles")
    work = k * (k - 1) // 2 * 2 * n
    for kind in ("untied", "ranked", "sparse"):
        values = make_data(kind, k, n)
        seconds = {}
        for method in ("pearson", "spearman"):
            prep = prepare(values, np.arange(n), np.arange(n, 2 * n), method=method)
            seconds[method] = per_cycle(
                lambda m: native.ztest(prep.matrix, prep.group1, prep.group2, method, "two-sided", m, THREADS,
                                       positions=False), args.cycles)
        shares = ", ".join(f"{method} {s * 1e3:.2f} ms = {100 * work / s / peak:.0f}% of the probe"
                           for method, s in seconds.items())
        print(f"- {kind:<7} {shares}; spearman / pearson {seconds['spearman'] / seconds['pearson']:.2f}")


if __name__ == "__main__":
    main()
