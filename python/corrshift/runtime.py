"""What corrshift runs with: its version, the native kernel build and the libraries (:func:`show_runtime`)."""

from __future__ import annotations

import importlib.metadata
import platform
import sys

from . import native
from .options import available_cpus

#: The libraries reported with their versions; the last two are optional.
LIBRARIES = ("numpy", "pandas", "scipy", "anndata", "dask")


def show_runtime() -> None:
    """Print the versions and the native build corrshift runs with, for bug reports and benchmarks.

    Like :func:`numpy.show_runtime`: corrshift's version; the kernel build
    its native engine runs and how it was chosen (automatically, the widest
    build the CPU supports, or by the environment variable
    ``CORRSHIFT_KERNELS``); the builds compiled in and those this CPU runs;
    the CPU features the choice tests; the number of threads corrshift uses
    when ``threads=None``; and the versions of Python, numpy, pandas, scipy,
    anndata and dask.

    Returns
    -------
    None
        The report is printed to standard output.

    Notes
    -----
    ``CORRSHIFT_KERNELS=<build>`` (set before corrshift first computes
    anything, e.g. in the shell) forces one of the builds this CPU runs,
    to compare their speed or to report a problem with one of them; every
    build gives the same results bit for bit. A name that is not one of
    them makes each computation raise a ValueError that lists them.

    Examples
    --------
    >>> import corrshift
    >>> corrshift.show_runtime()  # doctest: +SKIP
    corrshift 0.1.0
    kernel build: avx2 (chosen automatically)
    ...
    """
    print("\n".join(runtime_lines()))


def runtime_lines() -> list[str]:
    """The lines :func:`show_runtime` prints."""
    from . import __version__

    builds = native.kernel_builds()
    features = ", ".join(f"{name} {'yes' if present else 'no'}" for name, present in builds["cpu_features"].items())
    return [
        f"corrshift {__version__}",
        f"kernel build: {_active(builds)}",
        f"kernel builds compiled in: {', '.join(builds['compiled'])}",
        f"kernel builds this CPU runs: {', '.join(builds['available'])}",
        f"CPU features the choice tests: {features or 'none'}",
        f"default threads: {available_cpus()} (the CPUs this process may use)",
        f"python {platform.python_version()} ({sys.platform}, {platform.machine()})",
        *(f"{name} {_version(name)}" for name in LIBRARIES),
    ]


def _active(builds: dict) -> str:
    if builds["active"] is None:
        return f"none: {builds['error']}"
    how = {"automatic": "chosen automatically", "CORRSHIFT_KERNELS": "forced by CORRSHIFT_KERNELS"}
    return f"{builds['active']} ({how.get(builds['chosen_by'], 'chosen by ' + builds['chosen_by'])})"


def _version(distribution: str) -> str:
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"
