"""All pairs of a large matrix in bounded memory: time and peak memory.

The target run: ``corrshift.ztest`` on 20,000 features x 200 samples (two
groups of 100), every pair (about 2 * 10**8), 100 permutations, the 10,000
best pairs kept (``top=10000``), chunks one after another in this process
(no Dask).

    python bench/scale.py           # measure and extrapolate (about 2 minutes)
    python bench/scale.py --full    # the target run itself

Without --full, three runs are measured, each in a process of its own so its
peak memory is its own:

1. the target shape with 0 permutations: peak memory of the target run
   (memory does not grow with the permutation count) and the observed cycle;
2. the target shape with 2 permutations: the cost of one permutation cycle,
   from which the target's time is extrapolated (observed run + 100 cycles);
3. a scaled-down complete run, 5,000 features with 10 permutations.

The target's time is set against its probe limit: its pair-samples (pairs x
samples x cycles) at the rate of this machine's multiply+add probe on the
same threads (bench/machine.py), the time no kernel doing one multiply and
one add per pair-sample could beat.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time

import numpy as np

from machine import cpu_name, peak_rate

TARGET = dict(features=20_000, samples=200, permutations=100, top=10_000)
MEMORY_LIMIT_GB = 4.0


def make_data(features: int, samples: int) -> np.ndarray:
    """Normal noise with a block of features correlated in the first group only."""
    rng = np.random.default_rng(2024)
    data = rng.normal(size=(features, samples)).astype(np.float32)
    half = samples // 2
    shared = rng.normal(size=half).astype(np.float32)
    block = slice(0, min(50, features))
    data[block, :half] = 0.6 * data[block, :half] + 0.8 * shared
    return data


def run_once(features: int, samples: int, permutations: int, top: int, chunk_pairs: int, threads: int) -> dict:
    import corrshift
    from corrshift.analyses import ZTEST
    from corrshift.chunk_engine import default_chunk_pairs, plan_all_pairs

    data = make_data(features, samples)
    half = samples // 2
    chunk_pairs = chunk_pairs or default_chunk_pairs(samples, permutations, threads)
    start = time.perf_counter()
    table = corrshift.ztest(data, np.arange(half), np.arange(half, samples), permutations=permutations, top=top,
                            chunk_pairs=chunk_pairs, threads=threads, progress=False)
    seconds = time.perf_counter() - start
    pairs = features * (features - 1) // 2
    return dict(features=features, samples=samples, permutations=permutations, top=top, pairs=pairs,
                chunks=len(plan_all_pairs(features, ZTEST, chunk_pairs)), kept=len(table), seconds=seconds,
                pair_samples_per_s=pairs * samples * (permutations + 1) / seconds,
                peak_gb=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20)


def measure(args: argparse.Namespace, chunk_pairs: int, **shape) -> dict:
    command = [sys.executable, __file__, "--one", json.dumps(dict(shape, chunk_pairs=chunk_pairs,
                                                                  threads=args.threads))]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def show(label: str, r: dict) -> None:
    print(f"{label:<34} {r['features']:>6} x {r['samples']:<4} {r['pairs']:>12,} pairs  "
          f"{r['permutations']:>3} perm  {r['chunks']:>4} chunks  {r['seconds']:8.1f} s  "
          f"{r['pair_samples_per_s'] / 1e9:6.2f} G pair-samples/s  peak {r['peak_gb']:.2f} GB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--full", action="store_true", help="run the target itself (long with a slow kernel)")
    parser.add_argument("--chunk-pairs", type=int, default=0, help="pairs per chunk (default: the engine's)")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(run_once(**json.loads(args.one))))
        return

    probe = peak_rate(args.threads)
    pairs = TARGET["features"] * (TARGET["features"] - 1) // 2
    limit = pairs * TARGET["samples"] * (TARGET["permutations"] + 1) / probe
    print(f"CPU: {cpu_name()}; multiply+add probe {probe / 1e9:.1f} G lane pairs/s on {args.threads} threads")
    print(f"target: {TARGET['features']} features x {TARGET['samples']} samples, all pairs, "
          f"{TARGET['permutations']} permutations, top {TARGET['top']}, {args.threads} threads, no Dask")
    # The runs of the target shape use the target's chunks, whatever their
    # permutation count.
    from corrshift.chunk_engine import default_chunk_pairs

    chunk_pairs = args.chunk_pairs or default_chunk_pairs(TARGET["samples"], TARGET["permutations"], args.threads)
    if args.full:
        full = measure(args, chunk_pairs, **TARGET)
        show("target run", full)
        peak = full["peak_gb"]
        estimate = full["seconds"]
    else:
        base = measure(args, chunk_pairs, **dict(TARGET, permutations=0))
        show("target shape, observed cycle only", base)
        two = measure(args, chunk_pairs, **dict(TARGET, permutations=2))
        show("target shape, 2 permutations", two)
        per_cycle = (two["seconds"] - base["seconds"]) / 2
        estimate = base["seconds"] + TARGET["permutations"] * per_cycle
        print(f"{'target run, extrapolated':<34} {estimate:8.0f} s ({estimate / 60:.1f} min): "
              f"{per_cycle:.1f} s per permutation cycle")
        small = measure(args, args.chunk_pairs, **dict(TARGET, features=5_000, permutations=10))
        show("scaled down, complete", small)
        peak = max(base["peak_gb"], two["peak_gb"], small["peak_gb"])
    print(f"target run against its probe limit ({limit:.0f} s): {estimate / limit:.2f} x the limit "
          f"(goal: within 2 x)")
    verdict = "under" if peak < MEMORY_LIMIT_GB else "OVER"
    print(f"peak memory {peak:.2f} GB: {verdict} the {MEMORY_LIMIT_GB:.0f} GB limit")


if __name__ == "__main__":
    main()
