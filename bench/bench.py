"""Speed of the four module functions: `make bench`.

Prints one table row per shape (K features, n samples per group), method,
pair mode (exhaustive, or indexed over every pair listed in order) and kind
(z-test, or score with "median"):

  ms/cycle   time of one permutation cycle: (T(m cycles) - T(0)) / m, best of
             a few runs (other work on the machine only ever slows a run)
  Gps/s      pair-samples per second: K(K-1)/2 pairs x (n1 + n2) samples per cycle
  x ref      speed-up over the straightforward kernels (the reference_*
             functions of the test extension), where they finish in seconds
  x numpy    speed-up over the same pipeline in numpy (float64 np.corrcoef per
             group per cycle, upper triangle, arctanh, tally), run in a
             separate process without OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE
  % peak     pair-samples per second over the machine's rate of independent
             vector multiplies plus adds without FMA (bench/peak_probe.c,
             built and run on the same threads in the same run)
  peak MB    peak resident memory of the call beyond what the process held
             before it (the call with m cycles)

followed by the project's headline figures, for `pipelines` and for
corrshift's own entry (corrshift._core: sound rules, a pool of threads
started once per call, no interpreter lock while it computes); the phases
of a cycle (row packing and ranking, pairs, per-feature scores) are timed by
the phase clock of the test extension. corrshift's whole cycles are timed
over HEADLINE_CYCLES cycles or more, so that what a call does once before
its cycles (each row's order under "spearman", the sample-major copy of the
values) weighs little in a cycle's share; that setup is printed on its own.
"""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pipelines

from corrshift import _core
from corrshift import _native_tests as native
from machine import cpu_name, peak_rate

HERE = Path(__file__).resolve().parent
THREADS = 2
FEATURES = (200, 1000, 2000, 5000)
SAMPLES = (30, 250)
METHODS = ("pearson", "spearman")
REFERENCE_LIMIT = 1.1e9  # pair-samples per cycle up to which the reference is timed


# --------------------------------------------------------------------------
# Measuring


class quiet_stdout:
    """Sends the progress line (written to file descriptor 1) to /dev/null."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        self.null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(self.null, 1)

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)
        os.close(self.null)


def reset_peak_memory():
    """Restarts the kernel's count of peak resident memory; returns the
    resident memory now, in bytes."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status_kb("VmRSS") * 1024


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def timed(call, repeats):
    best = float("inf")
    peak = 0
    for _ in range(repeats):
        before = reset_peak_memory()
        with quiet_stdout():
            start = time.perf_counter()
            call()
            best = min(best, time.perf_counter() - start)
        peak = max(peak, status_kb("VmHWM") * 1024 - before)
    return best, peak


#: Fewest cycles behind a headline figure of a whole cycle: as many as a
#: call of corrshift.ztest with its default permutation count runs.
HEADLINE_CYCLES = 1000


#: Most cycles behind one timing (short cycles: the budget decides).
MOST_CYCLES = 100_000


def per_cycle(make_call, repeats=2, budget=0.4, fewest=3):
    """Seconds per permutation cycle and peak bytes of make_call(m), with m
    chosen so that the m cycles take at least as long as the observed cycle
    and the budget (the difference of two noisy timings must stand out), and
    m at least `fewest`. Short cycles are timed over the whole budget, not
    over a fixed count: a machine that has been idle runs its first few
    milliseconds of short cycles at half speed or less (its cores waking),
    which a run of 200 cycles of 30 us would be all of."""
    t0, _ = timed(lambda: make_call(0), repeats)
    t3, _ = timed(lambda: make_call(3), 1)
    guess = max((t3 - t0) / 3, 1e-6)
    m = int(max(fewest, min(MOST_CYCLES, max(budget, t0) / guess)))
    t1, peak = timed(lambda: make_call(m), repeats)
    return max(t1 - t0, 1e-9) / m, peak


def setup_seconds(make_call, repeats=3):
    """What a call does once before its cycles beyond the observed cycle's
    own work: T(1) - T(0) minus one cycle, (T(4) - T(1)) / 3."""
    t0, _ = timed(lambda: make_call(0), repeats)
    t1, _ = timed(lambda: make_call(1), repeats)
    t4, _ = timed(lambda: make_call(4), repeats)
    return max(t1 - t0 - (t4 - t1) / 3, 0.0)


def phases_per_cycle(call, m, repeats=5):
    """Seconds per permutation cycle in each phase (rows, pairs, units) of
    call(m), from the phase clock of the test extension's copies of the
    pipelines: (T(m) - T(0)) / m per phase, the smallest of a few runs."""
    def run(cycles):
        native.phase_clock(True)
        with quiet_stdout():
            call(cycles)
        return np.array(native.phase_clock(False))

    base = np.min([run(0) for _ in range(repeats)], axis=0)
    full = np.min([run(m) for _ in range(repeats)], axis=0)
    return np.maximum(full - base, 0.0) / m


# --------------------------------------------------------------------------
# The pipelines


def make_data(k, n):
    rng = np.random.default_rng(k * 1000 + n)
    data = rng.normal(size=(k, 2 * n)).astype(np.float32)
    g1 = np.arange(n, dtype=np.int32)
    g2 = np.arange(n, 2 * n, dtype=np.int32)
    first, second = (a.astype(np.int32) for a in np.triu_indices(k, 1))
    return data, g1, g2, first, second


def module_call(functions, mode, kind, method, data, g1, g2, first, second):
    """make_call(m) for one pipeline of `functions` (the module or the
    reference functions)."""
    ztest_exh, ztest_idx, score_exh, score_idx = functions
    if kind == "ztest" and mode == "exhaustive":
        return lambda m: ztest_exh(data, g1, g2, method, "two-sided", m, THREADS)
    if kind == "ztest":
        return lambda m: ztest_idx(data, first, second, g1, g2, method, "two-sided", m, THREADS)
    if mode == "exhaustive":
        return lambda m: score_exh(data, g1, g2, method, "median", "two-sided", m, THREADS)
    return lambda m: score_idx(data, first, second, g1, g2, method, "median", "two-sided", m, THREADS)


FAST = (pipelines._ztest_pipeline_exhaustive, pipelines._ztest_pipeline_indexed,
        pipelines._score_pipeline_exhaustive, pipelines._score_pipeline_indexed)
REFERENCE = (native.reference_ztest_exhaustive, native.reference_ztest_indexed,
             native.reference_score_exhaustive, native.reference_score_indexed)


def numpy_times(jobs):
    """Seconds per cycle of the numpy pipeline for each (K, n, method, kind),
    measured in a child process whose environment lacks the OpenBLAS tuning
    variables."""
    env = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    out = subprocess.run([sys.executable, str(HERE / "numpy_pipeline.py")], input=json.dumps(jobs),
                         capture_output=True, text=True, env=env, check=True).stdout
    return json.loads(out)


# --------------------------------------------------------------------------


def main():
    # Large blocks come from and go back to the system at once, so that each
    # call's peak resident memory is its own (glibc otherwise keeps freed
    # blocks for the next call).
    if "MALLOC_MMAP_THRESHOLD_" not in os.environ:
        env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")
        os.execve(sys.executable, [sys.executable, *sys.argv], env)
    started = time.time()
    peak = peak_rate(THREADS)
    print(f"machine: {cpu_name()}, {os.cpu_count()} CPUs; kernel build: {native.active_kernels()}; "
          f"{THREADS} threads; multiply+add peak {peak / 1e9:.1f} G lane pairs/s (probe, no FMA)")
    shapes = [(k, n) for k in FEATURES for n in SAMPLES] + [(1500, 100)]
    jobs = [(k, n, method, kind) for k, n in shapes for method in METHODS for kind in ("ztest", "score")]
    numpy_per_cycle = {tuple(j[:4]): t for j, t in zip(jobs, numpy_times(jobs))}

    header = f"{'K':>5} {'n':>4} {'method':<8} {'mode':<10} {'kind':<12} {'ms/cycle':>9} {'Gps/s':>7} " \
             f"{'x ref':>6} {'x numpy':>8} {'% peak':>7} {'peak MB':>8} {'results MB':>10}"
    print(header)
    print("-" * len(header))
    rows = {}
    for k, n in shapes:
        data, g1, g2, first, second = make_data(k, n)
        pairs = k * (k - 1) // 2
        work = pairs * 2 * n
        for method in METHODS:
            for mode in ("exhaustive", "indexed"):
                for kind in ("ztest", "score"):
                    args = (mode, kind, method, data, g1, g2, first, second)
                    fast, peak_bytes = per_cycle(module_call(FAST, *args))
                    ref = per_cycle(module_call(REFERENCE, *args), repeats=1, budget=0)[0] \
                        if work <= REFERENCE_LIMIT else None
                    np_t = numpy_per_cycle.get((k, n, method, kind))
                    results = 5 * pairs * 4 if kind == "ztest" else (2 * k * 4 if mode == "exhaustive" else 3 * k * 4)
                    rows[(k, n, method, mode, kind)] = (fast, peak_bytes)
                    print(f"{k:>5} {n:>4} {method:<8} {mode:<10} {kind + ('' if kind == 'ztest' else ' median'):<12} "
                          f"{fast * 1e3:>9.2f} {work / fast / 1e9:>7.1f} "
                          f"{(f'{ref / fast:.0f}' if ref else '-'):>6} "
                          f"{(f'{np_t / fast:.1f}' if np_t else '-'):>8} "
                          f"{100 * work / fast / peak:>6.0f}% {peak_bytes / 2**20:>8.1f} {results / 2**20:>10.1f}",
                          flush=True)

    print()
    print("Figures (shares of the multiply+add probe above)")
    k, n = 2000, 250
    data, g1, g2, _, _ = make_data(k, n)
    work = k * (k - 1) // 2 * 2 * n
    for method in METHODS:
        pair_phase = phases_per_cycle(
            lambda m: native.ztest_pipeline_exhaustive(data, g1, g2, method, "two-sided", m, THREADS), 30)[1]
        core_pairs = phases_per_cycle(
            lambda m: native.corrshift_ztest_exhaustive(data, g1, g2, method, "two-sided", m, THREADS, None, None,
                                                        native.sound_extras(), False), 30)[1]
        core_call = lambda m: _core.ztest_exhaustive(data, g1, g2, method, "two-sided", m, THREADS)  # noqa: E731
        core_cycle, _ = per_cycle(core_call, fewest=HEADLINE_CYCLES)
        setup = setup_seconds(core_call)
        print(f"- exhaustive z-test, K={k}, n={n}+{n}, {method}: pipelines pair phase "
              f"{100 * work / pair_phase / peak:.0f}%, whole cycle "
              f"{100 * work / rows[(k, n, method, 'exhaustive', 'ztest')][0] / peak:.0f}% (claim: pair phase >= 70%); "
              f"corrshift pair phase {100 * work / core_pairs / peak:.0f}%, whole cycle "
              f"{100 * work / core_cycle / peak:.0f}% (at least {HEADLINE_CYCLES} cycles; once per call before "
              f"the cycles: {setup * 1e3:.1f} ms)")
    rates = {}
    for k in (200, 300, 2000):
        data, g1, g2, _, _ = make_data(k, 30)
        cycle, _ = per_cycle(lambda m: _core.ztest_exhaustive(data, g1, g2, "pearson", "two-sided", m, THREADS),
                             fewest=HEADLINE_CYCLES)
        rates[k] = k * (k - 1) // 2 * 60 / cycle
    pipelines_200 = 200 * 199 // 2 * 60 / rows[(200, 30, "pearson", "exhaustive", "ztest")][0]
    print(f"- corrshift z-test, K=200, n=30+30, pearson: whole cycle {100 * rates[200] / peak:.0f}% "
          f"(pipelines: {100 * pipelines_200 / peak:.0f}%; claim: at least 25%)")
    print(f"- corrshift cycle rate, K=300 against K=2000 (n=30+30): {rates[300] / rates[2000]:.2f} "
          f"(claim: at least 1/3)")
    for method in METHODS:
        t = rows[(1500, 100, method, "exhaustive", "ztest")][0]
        print(f"- z-test exhaustive, K=1500, 100+100, {method}: {numpy_per_cycle[(1500, 100, method, 'ztest')] / t:.1f}"
              f" x numpy (claim: 8)")
    for n in SAMPLES:
        data, g1, g2, _, _ = make_data(2000, n)
        for method in METHODS:
            times = phases_per_cycle(
                lambda m: native.score_pipeline_exhaustive(data, g1, g2, method, "median", "two-sided", m, THREADS),
                30)
            print(f"- score exhaustive median, K=2000, n={n}+{n}, {method}: feature phase {times[2] / times.sum():.2f}"
                  f" of a cycle (rows {times[0] * 1e3:.2f} ms, pairs {times[1] * 1e3:.2f} ms, features "
                  f"{times[2] * 1e3:.2f} ms; claim: < 1/3)")
    for n in SAMPLES:
        ratio = rows[(2000, n, "pearson", "indexed", "ztest")][0] / rows[(2000, n, "pearson", "exhaustive", "ztest")][0]
        print(f"- indexed z-test over all pairs in order, K=2000, n={n}+{n}: {ratio:.2f} x the exhaustive time (claim: 1.5)")
    for method in METHODS:
        k, n = 2000, 250
        _, peak_bytes = rows[(k, n, method, "exhaustive", "ztest")]
        need = 5 * (k * (k - 1) // 2) * 4 + (k * 2 * n * 4 if method == "spearman" else 0)
        print(f"- peak memory, z-test exhaustive K={k}, n={n}+{n}, {method}: {peak_bytes / need:.2f} x the result "
              f"arrays{' plus the rank matrix' if method == 'spearman' else ''} (claim: 1.10)")
    print(f"({time.time() - started:.0f} s)")


if __name__ == "__main__":
    main()
