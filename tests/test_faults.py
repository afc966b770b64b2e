"""Faults from outside the arguments."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_python(script, timeout=60, env_extra=None):
    """Runs script in a fresh interpreter; returns the completed process."""
    env = dict(os.environ, **(env_extra or {}))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout, env=env)


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
