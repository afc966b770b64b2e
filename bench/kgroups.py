"""The test across k groups costed and checked: `python bench/kgroups.py [cost|null|all]`.

cost   Time of corrshift.ztest over the same samples (1,000 features, 160
       samples, 199 permutations, 2 threads) split into k = 2 (the two-group
       z-test and the test across groups with two labels), 4 and 8 groups of
       equal size, both methods, and with pairwise contrasts; and of
       corrshift.score across 4 groups. The best of three runs each.
null   Simulated null data (no change across 4 groups of 15 samples, 30
       features, seeded datasets): the share of p_permutation and p_normal at
       most 0.05 and 0.01 over all pairs pooled, with a Clopper-Pearson
       interval (pairs of a dataset share features, so the interval is
       optimistic).

Every section prints the CPU and how long it took.
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np
from scipy import stats

import corrshift
from corrshift import kgroups
from machine import cpu_name

QUIET = dict(progress=False, threads=2)


def _best(run, repeats: int = 3) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def cost() -> None:
    x = np.random.default_rng(0).normal(size=(1000, 160))
    print("k  method    call                           seconds")
    for k in (2, 4, 8):
        labels = np.repeat([f"g{i}" for i in range(k)], 160 // k)
        groups = [f"g{i}" for i in range(k)]
        for method in ("pearson", "spearman"):
            options = dict(method=method, permutations=199, **QUIET)
            if k == 2:
                seconds = _best(lambda: corrshift.ztest(x, groupby=labels, groups=tuple(groups), **options))
                print(f"{k}  {method:8}  ztest (two groups)             {seconds:7.2f}")
                seconds = _best(lambda: kgroups.ztest_groups(x, labels, groups, **options))
                print(f"{k}  {method:8}  across groups                  {seconds:7.2f}")
            else:
                seconds = _best(lambda: corrshift.ztest(x, groupby=labels, groups=groups, **options))
                print(f"{k}  {method:8}  across groups                  {seconds:7.2f}")
        if k == 4:
            seconds = _best(lambda: corrshift.ztest(x, groupby=labels, groups=groups, permutations=199,
                                                    contrasts="pairwise", **QUIET))
            print(f"{k}  pearson   across groups, contrasts       {seconds:7.2f}")
            seconds = _best(lambda: corrshift.score(x, groupby=labels, groups=groups, permutations=199, **QUIET))
            print(f"{k}  pearson   score across groups            {seconds:7.2f}")


def _interval(hits: int, total: int) -> str:
    low = stats.beta.ppf(0.025, hits, total - hits + 1) if hits else 0.0
    high = stats.beta.ppf(0.975, hits + 1, total - hits) if hits < total else 1.0
    return f"{hits / total:.4f} [{low:.4f}, {high:.4f}]"


def null(datasets: int = 20) -> None:
    labels = np.repeat(["w", "x", "y", "z"], 15)
    for method in ("pearson", "spearman"):
        p_perm, p_norm = [], []
        for seed in range(datasets):
            x = np.random.default_rng(1000 + seed).normal(size=(30, 60))
            res = corrshift.ztest(x, groupby=labels, groups=["w", "x", "y", "z"], method=method, permutations=199,
                                  seed=seed, **QUIET)
            p_perm.append(res["p_permutation"].to_numpy())
            p_norm.append(res["p_normal"].to_numpy())
        p_perm, p_norm = np.concatenate(p_perm), np.concatenate(p_norm)
        for level in (0.05, 0.01):
            print(f"{method:8} p <= {level}: permutation {_interval(int((p_perm <= level).sum()), len(p_perm))}, "
                  f"normal {_interval(int((p_norm <= level).sum()), len(p_norm))}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("section", nargs="?", default="all", choices=["cost", "null", "all"])
    args = parser.parse_args()
    warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
    print(cpu_name())
    for name, section in (("cost", cost), ("null", null)):
        if args.section in (name, "all"):
            start = time.perf_counter()
            section()
            print(f"{name}: {time.perf_counter() - start:.0f} s\n")


if __name__ == "__main__":
    main()
