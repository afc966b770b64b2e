"""Peak memory of a whole result table: all pairs, no permutations.

``corrshift.ztest`` over all pairs of named features (two equal groups, no
permutations unless asked for) in a fresh process: the rise of the process's peak resident
memory over the call (``VmHWM`` of /proc/self/status, reset just before the
call through /proc/self/clear_refs) against the table's own memory
(``table.memory_usage(deep=True).sum()``). Prints the CPU, both sizes and
their ratio.

    python bench/table_memory.py [--features 6000] [--samples 128] [--permutations 0] [--zeros 0]

``--zeros`` sets that share of the values to 0, as in single-cell counts:
some permuted groups then hold a feature constant, so that pairs count
unequal numbers of valid cycles and their q-values take the argsort.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time

from machine import cpu_name

CHILD = """
import json, sys, time
import numpy as np, pandas as pd
import corrshift

features, samples, permutations, zeros = {features}, {samples}, {permutations}, {zeros}


def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024


rng = np.random.default_rng(0)
values = rng.normal(size=(features, samples)).astype(np.float32)
values[rng.random(values.shape) < zeros] = 0
frame = pd.DataFrame(values,
                     index=[f"gene{{i}}" for i in range(features)], columns=[f"s{{j}}" for j in range(samples)])
half = samples // 2
group1, group2 = list(frame.columns[:half]), list(frame.columns[half:])
corrshift.ztest(frame.iloc[:50], group1, group2, permutations=0, progress=False)  # imports, thread start
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")  # resets VmHWM to the current resident size
before = status("VmRSS")
start = time.perf_counter()
table = corrshift.ztest(frame, group1, group2, permutations=permutations, progress=False)
seconds = time.perf_counter() - start
peak = status("VmHWM")
print(json.dumps(dict(rows=len(table), table=int(table.memory_usage(deep=True).sum()), rise=peak - before,
                      seconds=seconds)))
"""


def measure(features: int, samples: int, permutations: int, zeros: float) -> dict:
    """The table's size and the call's peak rise, from a process of its own."""
    child = CHILD.format(features=features, samples=samples, permutations=permutations, zeros=zeros)
    run = subprocess.run([sys.executable, "-W", "ignore", "-c", child], capture_output=True, text=True, check=True)
    return json.loads(run.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", type=int, default=6000)
    parser.add_argument("--samples", type=int, default=128)
    parser.add_argument("--permutations", type=int, default=0)
    parser.add_argument("--zeros", type=float, default=0.0)
    args = parser.parse_args()
    started = time.perf_counter()
    result = measure(args.features, args.samples, args.permutations, args.zeros)
    gib = 2.0 ** 30
    print(f"CPU: {cpu_name()}")
    print(f"{args.features} features x {args.samples} samples ({args.zeros:.0%} zeros), {result['rows']:,} rows, "
          f"{args.permutations} permutations")
    print(f"table {result['table'] / gib:.2f} GiB, peak rise over the call {result['rise'] / gib:.2f} GiB: "
          f"{result['rise'] / result['table']:.2f} x the table (call {result['seconds']:.1f} s, "
          f"run {time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
