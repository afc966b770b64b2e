"""The memory a result table takes, and a warning before a whole table would crowd out the machine's."""

from __future__ import annotations

import os

import pandas as pd

from . import native
from .chunk_engine import concat_rows
from .messages import warn
from .tables import ztest_table

#: The share of the available memory above which a whole table is warned about before it is computed.
SHARE = 0.5

_CGROUP = "/sys/fs/cgroup"  # a container's own limit (cgroup v2), where one is set


def _meminfo_available() -> int | None:
    try:
        with open("/proc/meminfo") as lines:
            for line in lines:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _cgroup_room() -> int | None:
    """Bytes left under this process's cgroup memory limit, None without a limit."""
    try:
        with open(os.path.join(_CGROUP, "memory.max")) as limit, open(os.path.join(_CGROUP, "memory.current")) as used:
            most = limit.read().strip()
            return None if most == "max" else max(int(most) - int(used.read().strip()), 0)
    except (OSError, ValueError):
        return None


def available_memory() -> int | None:
    """Bytes of memory that new arrays can take without swapping, or None where the system does not say.

    The system's available memory (psutil's when it is installed, else
    ``MemAvailable`` of /proc/meminfo, else the free physical pages), and
    no more than is left under a container's memory limit (cgroup v2).
    """
    try:
        import psutil
        host = psutil.virtual_memory().available
    except ImportError:
        host = _meminfo_available()
    if host is None:
        try:
            host = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        except (AttributeError, ValueError, OSError):
            host = None
    room = _cgroup_room()
    known = [size for size in (host, room) if size is not None]
    return min(known) if known else None


def row_bytes(table: pd.DataFrame) -> int:
    """Bytes one row of ``table`` takes: the item sizes of its columns (a Categorical's codes)."""
    return sum((column.cat.codes if isinstance(column.dtype, pd.CategoricalDtype) else column).dtype.itemsize
               for _, column in table.items())


def size_text(size: float) -> str:
    """A size in bytes as people read it: "3.6 GB", "12.0 MB", "512 bytes"."""
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if size >= scale:
            return f"{size / scale:.1f} {unit}"
    return f"{size:.0f} bytes"


#: What keeps a table small, as the warning of :func:`warn_if_too_large` says it by default.
CHUNK_REMEDY = ("top= or max_p= keep only the best rows (computed in chunks, in bounded memory), out= writes every "
                "row to disk instead")


def warn_if_too_large(rows: int, per_row: int, noun: str, remedy: str = CHUNK_REMEDY) -> None:
    """Warn, before it is computed, when a whole table of ``rows`` rows of ``per_row`` bytes would take more
    than :data:`SHARE` of the available memory (:func:`available_memory`).

    ``noun`` names the rows in the plural ("pairs"). The warning gives the
    table's size and points to what keeps it small (``remedy``; by default
    the options ``top=`` and ``max_p=``, which keep the best rows, and
    ``out=``, which writes them to disk).
    """
    size = rows * per_row
    available = available_memory()
    if available is None or size <= SHARE * available:
        return
    warn(f"the table of {rows:,} {noun} will take about {size_text(size)} ({per_row} bytes a row), more than "
         f"{SHARE:.0%} of the {size_text(available)} of memory available now; {remedy}")


def warn_if_large_ztest(prep, pairs, chunking) -> None:
    """:func:`warn_if_too_large` for the whole z-test table of :func:`corrshift.ztest`: all pairs of the
    prepared features or the given ``pairs`` (first, second), unless ``chunking`` keeps fewer rows
    (``top``, ``max_p``) or none (``out``). The bytes a row takes come from the table's own columns."""
    if chunking is not None and (chunking.top is not None or chunking.max_p is not None or chunking.out is not None):
        return
    k = len(prep.features)
    rows = prep.sides.pairs if prep.sides is not None else k * (k - 1) // 2 if pairs is None else len(pairs[0])
    warn_if_too_large(rows, row_bytes(ztest_table(prep, concat_rows([], native.ZTEST_COLUMNS))), "pairs")
