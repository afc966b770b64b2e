"""What the result table costs next to the engine: all pairs, no permutations.

``corrshift.ztest`` over all 4.5 million pairs of 3,000 named features (100
samples, two groups of 50, no permutations) against the native call alone
(``corrshift._core.ztest_exhaustive`` on the prepared matrix). Prints the
CPU, both times (best of a few runs) and their ratio.

    python bench/table_cost.py [--features 3000] [--samples 100] [--repeats 3]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from machine import cpu_name


def best_time(call, repeats: int) -> float:
    best = np.inf
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", type=int, default=3000)
    parser.add_argument("--samples", type=int, default=100)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=None)
    args = parser.parse_args()

    import corrshift
    from corrshift import _core
    from corrshift.api import prepare
    from corrshift.options import available_cpus

    threads = args.threads or available_cpus()
    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.normal(size=(args.features, args.samples)),
                         index=[f"gene{i}" for i in range(args.features)],
                         columns=[f"s{j}" for j in range(args.samples)])
    half = args.samples // 2
    group1, group2 = list(frame.columns[:half]), list(frame.columns[half:])
    prep = prepare(frame, group1, group2)

    def native():
        _core.ztest_exhaustive(prep.matrix, prep.group1, prep.group2, "pearson", "two-sided", 0, threads, None,
                               None)

    def table():
        corrshift.ztest(frame, group1, group2, permutations=0, threads=threads, progress=False)

    native(), table()  # warm up: pages, thread start, imports
    t_native = best_time(native, args.repeats)
    t_table = best_time(table, args.repeats)
    pairs = args.features * (args.features - 1) // 2
    print(f"CPU: {cpu_name()}, {threads} threads")
    print(f"{pairs:,} pairs of {args.features:,} named features, {args.samples} samples, no permutations")
    print(f"native call      {t_native:7.3f} s")
    print(f"corrshift.ztest  {t_table:7.3f} s")
    print(f"ratio            {t_table / t_native:7.2f}x")


if __name__ == "__main__":
    main()
