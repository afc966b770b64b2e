"""What the normal p-values cost in the observed cycle of the z-test.

``corrshift._core.ztest_exhaustive`` over all 4.5 million pairs of 3,000
features (100 samples, groups of 50 + 50, no permutations, 2 threads) with
this build and with an earlier one (``--before``: a folder holding the
``corrshift`` package of a build from before the vectorised normal tail,
e.g. a copy of its site-packages/corrshift), each timed in its own process,
alternately, best of the runs. Then the p-values alone over the same
differences, on as many threads: the C library's erfc one value at a time
(the classic rules' normal_pvalue, which the sound rules used before)
against the vectorised tail of the active kernel build, and the share of
its cycle each takes.

    .venv/bin/python bench/normal_tail_cost.py --before /tmp/corrshift_before
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from table_cost import best_time, cpu_name

CYCLE = """
import sys, time
import numpy as np
from corrshift import _core
features, samples, threads, repeats = map(int, sys.argv[1:5])
data = np.random.default_rng(0).normal(size=(features, samples)).astype(np.float32)
g1 = np.arange(samples // 2, dtype=np.int32)
g2 = np.arange(samples // 2, samples, dtype=np.int32)
def call():
    return _core.ztest_exhaustive(data, g1, g2, "pearson", "two-sided", 0, threads)
call()
best = float("inf")
for _ in range(repeats):
    start = time.perf_counter()
    call()
    best = min(best, time.perf_counter() - start)
print(best)
"""


def cycle_seconds(package_dir: str | None, args) -> float:
    env = dict(os.environ)
    if package_dir is not None:
        env["PYTHONPATH"] = package_dir
    out = subprocess.run([sys.executable, "-c", CYCLE, str(args.features), str(args.samples), str(args.threads),
                          str(args.repeats)], env=env, check=True, capture_output=True, text=True)
    return float(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", required=True, help="folder holding the earlier build's corrshift package")
    parser.add_argument("--features", type=int, default=3000)
    parser.add_argument("--samples", type=int, default=100)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    from corrshift import _core, _native_tests as native

    before, after = np.inf, np.inf
    for _ in range(args.rounds):
        before = min(before, cycle_seconds(args.before, args))
        after = min(after, cycle_seconds(None, args))

    data = np.random.default_rng(0).normal(size=(args.features, args.samples)).astype(np.float32)
    half = args.samples // 2
    g1, g2 = np.arange(half, dtype=np.int32), np.arange(half, args.samples, dtype=np.int32)
    z = _core.ztest_exhaustive(data, g1, g2, "pearson", "two-sided", 0, args.threads)[2]
    se = np.float32(np.sqrt(1 / (half - 3) + 1 / (args.samples - half - 3)))
    p = np.empty_like(z)
    # One slice per thread, each call without the interpreter lock.
    slices = [slice(t * z.size // args.threads, (t + 1) * z.size // args.threads) for t in range(args.threads)]

    def threaded(sound: bool) -> None:
        with ThreadPoolExecutor(args.threads) as pool:
            list(pool.map(lambda s: native.normal_pvalues(z[s], p[s], se, "two-sided", sound), slices))

    erfc = best_time(lambda: threaded(False), args.repeats)
    vectorised = best_time(lambda: threaded(True), args.repeats)

    print(f"CPU: {cpu_name()}; kernel build {native.active_kernels()}; {args.threads} threads")
    print(f"{z.size:,} pairs of {args.features:,} features, {half} + {args.samples - half} samples, "
          f"no permutations; best of {args.rounds} x {args.repeats} runs")
    print(f"observed cycle, before (erfc)    {before:7.3f} s")
    print(f"observed cycle, now (vectorised) {after:7.3f} s   ({before / after:.2f}x)")
    print(f"p-values alone, {args.threads} threads: erfc {erfc:.3f} s, vectorised {vectorised:.3f} s "
          f"({erfc / vectorised:.1f}x)")
    print(f"their share of the cycle: before {erfc / before:.0%}, now {vectorised / after:.0%}")


if __name__ == "__main__":
    main()
