"""Repeated calls, finished, failed or interrupted, do not grow the process:
no result array, scratch buffer or thread outlives its call."""

import os
import subprocess
import sys
import textwrap

import pytest

# A call leaking one pair scratch array would grow the process by
# 200 x 80 KB = 16 MB; the bound leaves room for allocator noise. Python
# objects and numpy arrays (result arrays, the result tuple) are counted
# exactly by tracemalloc: 200 leaked arrays of even 8 entries pass 20 KB.
BOUND_RSS_MB = 12
BOUND_TRACED_KB = 16

SCRIPT = """
import os, signal, tracemalloc, numpy as np, pipelines
from corrshift import _native_tests as nt
report = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the progress lines
rng = np.random.default_rng(5)
data = rng.normal(size=(200, 12)).astype(np.float32)
g1, g2 = np.arange(6, dtype=np.int32), np.arange(6, 12, dtype=np.int32)
first = np.repeat(np.arange(200, dtype=np.int32), 100)
second = (first + 1 + np.tile(np.arange(100, dtype=np.int32), 200)) % 200

class Alarm(Exception):
    pass

def alarm(signum, frame):
    raise Alarm

signal.signal(signal.SIGALRM, alarm)

def interrupted():
    # The pending handler raises at the start of the next cycle.
    signal.setitimer(signal.ITIMER_REAL, 0.002)
    try:
        pipelines._ztest_pipeline_exhaustive(data, g1, g2, "spearman", "two-sided", 10**6, 2)
    except Alarm:
        pass

def no_thread():
    nt.fail_thread_start_at(1)
    try:
        nt.score_pipeline_exhaustive(data, g1, g2, "spearman", "median", "less", 2, 2)
    except RuntimeError:
        pass
    nt.fail_thread_start_at(-1)

CALLS = {{
    "ztest_exhaustive": lambda: pipelines._ztest_pipeline_exhaustive(data, g1, g2, "spearman", "less", 1, 2),
    "ztest_indexed": lambda: pipelines._ztest_pipeline_indexed(data, first, second, g1, g2, "pearson",
                                                               "two-sided", 1, 2),
    "score_exhaustive": lambda: pipelines._score_pipeline_exhaustive(data, g1, g2, "spearman", "median",
                                                                     "greater", 1, 2),
    "score_indexed": lambda: pipelines._score_pipeline_indexed(data, first, second, g1, g2, "pearson", "median",
                                                               "two-sided", 1, 2),
    "interrupted": interrupted,
    "no_thread": no_thread,
}}

def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

call = CALLS["{name}"]
tracemalloc.start()
for _ in range(50):
    call()
before = rss_mb(), tracemalloc.get_traced_memory()[0]
for _ in range(200):
    call()
print(rss_mb() - before[0], (tracemalloc.get_traced_memory()[0] - before[1]) / 2**10, file=report)
"""

NAMES = ["ztest_exhaustive", "ztest_indexed", "score_exhaustive", "score_indexed", "interrupted", "no_thread"]


@pytest.mark.slow
@pytest.mark.parametrize("name", NAMES)
def test_repeated_calls_do_not_grow_the_process(name):
    # AddressSanitizer holds freed memory back for a while; let it reuse it.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0")
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(SCRIPT.format(name=name))],
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    rss_mb, traced_kb = map(float, result.stdout.split())
    assert rss_mb < BOUND_RSS_MB and traced_kb < BOUND_TRACED_KB, (rss_mb, traced_kb)
