"""Pairs between two feature sets against all pairs: `python bench/between.py`.

The rectangle of K_A regulators x K_B targets (``corrshift.ztest(...,
between=(A, B))``) is computed by the pair kernel directly, row by row of
the first set. Its whole permutation cycle, on data prepared as corrshift
prepares it (each group's samples in their own order, every feature
standardised within each group, ranks under "spearman"), is set beside a
cycle of all pairs of K features with about as many pairs, both stated as
shares of the machine's multiply+add probe (bench/peak_probe.c, on the same
threads in the same run). The rectangle should reach the share of all
pairs within 10%. The phases of a cycle (rows: packing, and ranking under
"spearman"; pairs: the pair kernel) are timed by the phase clock of the
test extension's copy of the same entry: the rectangle has many more rows
per pair (K_A K_B / (K_A + K_B) against (K - 1) / 2), and each row's packing
and ranks are made anew every cycle.
"""

from __future__ import annotations

import argparse
import math
import os

import numpy as np

from corrshift import _native_tests as tests
from corrshift import native
from corrshift.api import prepare
from machine import cpu_name, peak_rate
from bench import phases_per_cycle
from user_path import per_cycle

THREADS = 2


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--regulators", type=int, default=200)
    parser.add_argument("--targets", type=int, default=5000)
    parser.add_argument("--samples", type=int, default=250, help="per group")
    parser.add_argument("--cycles", type=int, default=20)
    args = parser.parse_args()
    ka, kb, n = args.regulators, args.targets, args.samples
    rect_pairs = ka * kb
    # All pairs of k features: about as many pairs as the rectangle.
    k = round((1 + math.sqrt(1 + 8 * rect_pairs)) / 2)
    all_pairs = k * (k - 1) // 2
    peak = peak_rate(THREADS)
    print(f"machine: {cpu_name()}, {os.cpu_count()} CPUs; {THREADS} threads; multiply+add peak "
          f"{peak / 1e9:.1f} G lane pairs/s (probe, no FMA)")
    print(f"whole cycle over {args.cycles} cycles, n={n}+{n}: {ka} x {kb} = {rect_pairs:,} pairs between two "
          f"sets against all {all_pairs:,} pairs of {k} features")
    rng = np.random.default_rng(3)
    values = rng.normal(size=(ka + kb, 2 * n))
    groups = np.arange(n), np.arange(n, 2 * n)
    for method in ("pearson", "spearman"):
        shares = {}
        for name, rows, pairs, between in (("between", ka + kb, rect_pairs, ka), ("all", k, all_pairs, 0)):
            prep = prepare(values[:rows], *groups, method=method)
            seconds = per_cycle(
                lambda m: native.ztest(prep.matrix, prep.group1, prep.group2, method, "two-sided", m, THREADS,
                                       positions=False, between=between or None), args.cycles)
            rows_s, pairs_s, _ = phases_per_cycle(
                lambda m: tests.corrshift_ztest_exhaustive(prep.matrix, prep.group1, prep.group2, method,
                                                           "two-sided", m, THREADS, None, None,
                                                           tests.sound_extras(between=between), False),
                args.cycles, repeats=3)
            shares[name] = pairs * 2 * n / seconds / peak
            shares[name + " pairs"] = pairs * 2 * n / pairs_s / peak
            print(f"- {method:<8} {name:<8} {seconds * 1e3:7.1f} ms/cycle = {100 * shares[name]:.1f}% of the "
                  f"probe; phases: rows {rows_s * 1e3:.1f} ms ({rows_s / rows * 1e9:.0f} ns a row), pairs "
                  f"{pairs_s * 1e3:.1f} ms = {100 * shares[name + ' pairs']:.1f}% of the probe")
        print(f"  {method}: between / all = {shares['between'] / shares['all']:.3f} (whole cycle), "
              f"{shares['between pairs'] / shares['all pairs']:.3f} (pair kernel)")


if __name__ == "__main__":
    main()
