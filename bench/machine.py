"""The machine a benchmark runs on: its CPU's name and its multiply+add probe.

Every figure of the benchmarks is stated as a share of the probe measured
in the same run on the same threads, so that figures from different
machines (AVX-512 or only AVX2, busy or quiet) can be compared.
"""

from __future__ import annotations

import platform
import subprocess
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def cpu_name() -> str:
    """The CPU's model name as the operating system reports it."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def peak_rate(threads: int) -> float:
    """Multiply+add lane pairs per second over ``threads`` threads (no FMA), best of three runs."""
    flags = ["-O2", "-ffp-contract=off"]
    cpu = Path("/proc/cpuinfo").read_text()
    if " avx512f" in cpu:
        flags.append("-mavx512f")
    elif " avx2" in cpu:
        flags.append("-mavx2")
    with tempfile.TemporaryDirectory() as tmp:
        exe = Path(tmp) / "peak_probe"
        subprocess.run(["cc", *flags, str(HERE / "peak_probe.c"), "-o", str(exe), "-lpthread"], check=True)
        dump = subprocess.run(["objdump", "-d", str(exe)], capture_output=True, text=True).stdout
        assert "vfmadd" not in dump, "the probe must not use fused multiply-add"
        return max(float(subprocess.run([str(exe), str(threads), "0.5"], capture_output=True, text=True,
                                        check=True).stdout) for _ in range(3))
