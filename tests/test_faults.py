"""Faults from outside the arguments: no thread left, no memory left, Ctrl-C.

Each ends the call with a Python exception; the interpreter keeps running and
the next call gives the same results as in a fresh process.
"""

import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import pipelines
from corrshift import _native_tests as nt

DATA = np.random.default_rng(7).normal(size=(9, 16)).astype(np.float32)
G1 = np.arange(0, 8, dtype=np.int32)
G2 = np.arange(8, 16, dtype=np.int32)


def run_python(script, timeout=60, env_extra=None):
    """Runs script in a fresh interpreter; returns the completed process."""
    env = dict(os.environ, **(env_extra or {}))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout, env=env)


# --- threads ----------------------------------------------------------------------------------


@pytest.fixture
def thread_start_fails():
    """Call with j: the j-th thread start of every fork-join fails until the test ends."""
    yield nt.fail_thread_start_at
    nt.fail_thread_start_at(-1)


ZTEST = (nt.ztest_pipeline_exhaustive, (DATA, G1, G2, "{method}", "two-sided", 3, 3))
SCORE = (nt.score_pipeline_exhaustive, (DATA, G1, G2, "{method}", "median", "less", 3, 3))


@pytest.mark.parametrize("pipeline", [ZTEST, SCORE], ids=["ztest", "score"])
@pytest.mark.parametrize("method", ["pearson", "spearman"])  # spearman fails in the rank transform first
@pytest.mark.parametrize("failing_thread", [0, 1, 2])
def test_thread_that_cannot_start_raises_and_the_next_call_works(pipeline, method, failing_thread,
                                                                   thread_start_fails):
    function, args = pipeline
    args = tuple(a.format(method=method) if isinstance(a, str) else a for a in args)
    expected = function(*args)
    thread_start_fails(failing_thread)
    with pytest.raises(RuntimeError, match="Resource temporarily unavailable"):
        function(*args)
    thread_start_fails(-1)
    for got, want in zip(function(*args), expected, strict=True):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("pool_threads", [0, 4, 6], ids=["threads per fork-join", "pool", "larger pool"])
@pytest.mark.parametrize("failing_unit", [0, 5, 9])  # in the first, a middle and the last worker
def test_worker_out_of_memory_becomes_memory_error_after_the_join(failing_unit, pool_threads):
    with pytest.raises(MemoryError):
        nt.run_workers_failing(10, 4, failing_unit, pool_threads)
    # Every unit is run exactly once per fork-join when nothing fails, also
    # right after a failure and over many fork-joins of one pool.
    assert nt.run_workers_failing(10, 4, -1, pool_threads) == [1] * 10
    assert nt.run_workers_failing(10, 4, -1, pool_threads, 500) == [500] * 10


@pytest.mark.parametrize("failing_thread", [1, 2])
def test_pool_thread_that_cannot_start_raises_and_the_next_call_works(failing_thread, thread_start_fails):
    """corrshift's entry starts its threads once per call, the calling thread
    being the first: a thread that cannot start fails the call before any
    cycle, and nothing is left behind."""
    # the entry of corrshift._core
    args = (DATA, G1, G2, "spearman", "median", "less", 3, 3, None, None, nt.sound_extras(), False)
    expected = nt.corrshift_score_exhaustive(*args)
    thread_start_fails(failing_thread)
    with pytest.raises(RuntimeError, match="Resource temporarily unavailable"):
        nt.corrshift_score_exhaustive(*args)
    thread_start_fails(-1)
    for got, want in zip(nt.corrshift_score_exhaustive(*args), expected, strict=True):
        np.testing.assert_array_equal(got, want)


# --- memory -----------------------------------------------------------------------------------

# Runs `call` with the address space capped a little above what the process
# already has, so that large requests fail at once instead of paging; under
# AddressSanitizer its allocator must then return null (and throw) instead of
# aborting.
CAPPED = """
import resource, numpy as np, pipelines
def vm_bytes():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
data = np.zeros(({k}, {p}), np.float32)
none = np.zeros(0, np.int32)
columns = np.arange({p}, dtype=np.int32)
resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + {headroom} * 2**20, resource.RLIM_INFINITY))
try:
    pipelines.{call}
    print("returned")
except MemoryError:
    print("MemoryError")
small = np.arange(12, dtype=np.float32).reshape(3, 4) ** 2
print(pipelines._ztest_pipeline_exhaustive(small, np.array([0, 1], np.int32), np.array([2, 3], np.int32),
                                            "pearson", "two-sided", 1, 2)[1].tolist())
"""


# AddressSanitizer's operator new ends the process when it finds no memory
# instead of throwing std::bad_alloc, so native scratch requests cannot fail
# gracefully under it; numpy's requests (malloc) can.
NATIVE_NEW = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="operator new under AddressSanitizer aborts on failure")


@pytest.mark.parametrize("k,p,headroom,call", [
    # results: five arrays of 2.1e9 floats (43 GB)
    (65535, 0, 512, "_ztest_pipeline_exhaustive(data, none, none, 'pearson', 'less', 0, 2)"),
    # the results fit (5 x 128 MB), the packed rows of both groups (2 x 640 MB) do not
    pytest.param(8000, 20000, 800, "_ztest_pipeline_exhaustive(data, columns, columns, 'pearson', 'less', 0, 2)",
                 marks=NATIVE_NEW),
    # pair scratch of the score pipeline: 8.6 GB
    pytest.param(65535, 0, 512, "_score_pipeline_exhaustive(data, none, none, 'pearson', 'mean', 'less', 0, 2)",
                 marks=NATIVE_NEW),
])
def test_allocation_that_cannot_succeed_is_memory_error(k, p, headroom, call):
    asan = os.environ.get("ASAN_OPTIONS", "")
    result = run_python(CAPPED.format(k=k, p=p, headroom=headroom, call=call),
                        env_extra={"ASAN_OPTIONS": asan + ":allocator_may_return_null=1"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].endswith("MemoryError")
    assert lines[1].startswith("Permutation progress: ") and lines[2].startswith("[")


# --- Ctrl-C -----------------------------------------------------------------------------------

# Each round starts a long call, reports it, and reports how it ended; then a
# short call must still give the results it gave before any interrupt.
INTERRUPTED = """
import os, signal, numpy as np, pipelines
from corrshift import _core
# Ctrl-C as in a terminal, whatever the test runner's process passed on.
signal.pthread_sigmask(signal.SIG_UNBLOCK, {{signal.SIGINT}})
signal.signal(signal.SIGINT, signal.default_int_handler)
# Progress lines go to /dev/null, the round reports to the pipe.
report = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
def say(word):
    report.write(word + "\\n")
    report.flush()
rng = np.random.default_rng(3)
data = rng.normal(size=(120, 40)).astype(np.float32)
g1, g2 = np.arange(20, dtype=np.int32), np.arange(20, 40, dtype=np.int32)
first = np.repeat(np.arange(119, dtype=np.int32), 4)
second = (first + 1 + np.tile(np.arange(4, dtype=np.int32), 119)) % 120
LONG = [
    lambda p: pipelines._ztest_pipeline_exhaustive(data, g1, g2, "spearman", "two-sided", 10**6, p),
    lambda p: pipelines._ztest_pipeline_indexed(data, first, second, g1, g2, "pearson", "less", 10**6, p),
    lambda p: pipelines._score_pipeline_exhaustive(data, g1, g2, "spearman", "median", "greater", 10**6, p),
    lambda p: pipelines._score_pipeline_indexed(data, first, second, g1, g2, "pearson", "mean", "two-sided",
                                                10**6, p),
    # corrshift's entry computes without the interpreter lock, on a pool of threads.
    lambda p: _core.ztest_exhaustive(data, g1, g2, "spearman", "two-sided", 10**6, p),
    lambda p: _core.ztest_indexed(data, first, second, g1, g2, "pearson", "less", 10**6, p, progress=max),
    lambda p: _core.score_exhaustive(data, g1, g2, "spearman", "median", "greater", 10**6, p),
    lambda p: _core.score_indexed(data, first, second, g1, g2, "pearson", "mean", "two-sided", 10**6, p),
]
def short():
    return [a.tolist() for a in pipelines._score_pipeline_exhaustive(data[:6], g1, g2, "spearman", "median",
                                                                     "less", 5, 2)]
reference = short()
for round in range({rounds}):
    try:
        say("calling")
        LONG[round % len(LONG)](round % 3 + 1)
        say("finished")
    except KeyboardInterrupt:
        say("interrupted")
    say("same" if short() == reference else "different")
"""


@pytest.mark.slow
def test_ctrl_c_at_random_moments_interrupts_every_pipeline():
    rounds = 16
    seed = random.randrange(2**32)
    rng = random.Random(seed)
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED.format(rounds=rounds)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(120, proc.kill)  # a hang ends as a failure, not as a stuck run
    watchdog.start()
    try:
        endings = []
        for _ in range(rounds):
            assert proc.stdout.readline().endswith("calling\n")
            time.sleep(rng.choice([0.0, rng.uniform(0.0, 0.02), rng.uniform(0.02, 0.5)]))
            proc.send_signal(signal.SIGINT)
            endings.append((proc.stdout.readline().strip(), proc.stdout.readline().strip()))
        out, err = proc.communicate(timeout=30)
    finally:
        watchdog.cancel()
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert endings == [("interrupted", "same")] * rounds, f"seed {seed}: {endings}\n{err}"
    assert proc.returncode == 0 and err == "", f"seed {seed}: {err}"


LARGEST_COUNT = """
import os, signal, numpy as np, pipelines
signal.signal(signal.SIGALRM, signal.default_int_handler)  # as Ctrl-C would
signal.setitimer(signal.ITIMER_REAL, 0.3)
empty = np.zeros(0, np.int32)
try:
    pipelines.{call}
except KeyboardInterrupt:
    os.write(2, b"interrupted")
"""


@pytest.mark.parametrize("call", [
    "_ztest_pipeline_exhaustive(np.zeros((2, 0), np.float32), empty, empty, 'pearson', 'less', 2**31 - 1, 1)",
    "_score_pipeline_exhaustive(np.zeros((2, 0), np.float32), empty, empty, 'pearson', 'mean', 'less', 2**31 - 1,"
    " 1)",
])
def test_largest_permutation_count_counts_its_cycles_without_overflow(call):
    # 2147483647 permutations make 2147483648 cycles: one more than a signed
    # 32-bit count holds (the sanitizer build stops on such an overflow).
    result = run_python(LARGEST_COUNT.format(call=call))
    assert result.returncode == 0 and result.stderr == "interrupted", result.stderr
    assert result.stdout.startswith("Permutation progress: [" + " " * 50 + "] 0%")


def test_call_from_a_signal_handler_during_a_call():
    # Nothing of a call lives outside it: a handler that runs at a cycle's
    # interrupt check may call the module again, and both calls come out as
    # if alone.
    args = (DATA, G1, G2, "spearman", "median", "less", 1000, 2)
    expected = pipelines._score_pipeline_exhaustive(*args)
    nested = []
    previous = signal.signal(signal.SIGALRM, lambda *_: nested.append(pipelines._score_pipeline_exhaustive(*args)))
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.005)
        outer = pipelines._score_pipeline_exhaustive(*args)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(nested) == 1
    for result in (outer, nested[0]):
        for got, want in zip(result, expected, strict=True):
            np.testing.assert_array_equal(got, want)
