"""Ctrl-C during a long call ends it between cycles with KeyboardInterrupt."""

import os
import signal
import subprocess
import sys
import textwrap

PREFIX = b"Permutation progress: "
FIRST_FRAME = PREFIX + b"[" + b" " * 50 + b"] 0%"

CHILD = textwrap.dedent(
    """
    import signal
    import sys
    import numpy as np
    import pipelines

    # Ctrl-C as in a terminal, whatever the test runner's process passed on.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    signal.signal(signal.SIGINT, signal.default_int_handler)

    rng = np.random.default_rng(0)
    data = rng.normal(size=(400, 200)).astype(np.float32)
    g1 = np.arange(0, 100, dtype=np.int32)
    g2 = np.arange(100, 200, dtype=np.int32)
    try:
        pipelines._ztest_pipeline_exhaustive(data, g1, g2, "pearson", "two-sided", 1000000, 1)
    except KeyboardInterrupt:
        sys.stderr.write("interrupted\\n")
    else:
        sys.stderr.write("finished\\n")
    small = pipelines._ztest_pipeline_exhaustive(data[:3], g1[:5], g2[:5], "pearson", "less", 2, 1)
    sys.stderr.write("then %d pairs\\n" % len(small[0]))
    """
)


def test_ctrl_c_ends_the_call_between_cycles():
    proc = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        seen = b""
        while FIRST_FRAME not in seen:  # the observed cycle is done
            chunk = os.read(proc.stdout.fileno(), 4096)
            assert chunk, proc.stderr.read().decode()
            seen += chunk
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, err.decode()
    assert err.decode().splitlines() == ["interrupted", "then 3 pairs"]
    out = seen + out
    interrupted, following = out.split(PREFIX)[1:]
    assert (PREFIX + interrupted).startswith(FIRST_FRAME)
    assert b"\n" not in interrupted  # the interrupted line stays open
    assert following.endswith(b"] 100%\n") and following.count(b"\n") == 1
