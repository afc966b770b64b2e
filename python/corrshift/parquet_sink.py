"""Streaming result rows to a Parquet dataset folder, one file per chunk."""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path

import numpy as np


def pyarrow_modules():
    """``pyarrow`` and ``pyarrow.parquet``, or an ImportError that says how to install them."""
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise ImportError("writing a Parquet dataset needs pyarrow: pip install 'corrshift[parquet]'") from None
    return pyarrow, pyarrow.parquet


def parquet_sink(folder, to_table: Callable | None = None,
                 schema=None) -> Callable[[int, dict[str, np.ndarray]], None]:
    """A sink that writes each chunk's rows as one file of a Parquet dataset.

    Parameters
    ----------
    folder : str or path-like
        Dataset folder; created if missing, and it must be empty (files of an
        earlier run would mix with the new rows).
    to_table : callable, optional
        Turns a chunk's columns into what is written: a dict of arrays or a
        pandas DataFrame. The columns are written as they are without it.
    schema : pyarrow.Schema, optional
        Column types of every file (by default those of each chunk's rows).

    Returns
    -------
    callable
        ``sink(chunk_index, columns)``. Chunk ``i`` goes to
        ``part-<i, 8 digits>.parquet``, so the files sorted by name hold the
        rows in pair order, whatever order the chunks finish in. Each file is
        written under a hidden name and renamed when complete, so a reader
        never sees half a file.
    """
    pa, pq = pyarrow_modules()
    folder = Path(folder)
    if folder.exists() and (not folder.is_dir() or any(folder.iterdir())):
        raise FileExistsError(f"{folder} exists and is not an empty folder")
    folder.mkdir(parents=True, exist_ok=True)

    def sink(index: int, columns: dict[str, np.ndarray]) -> None:
        rows = to_table(columns) if to_table is not None else columns
        if isinstance(rows, dict):
            table = pa.table(rows, schema=schema)
        else:
            table = pa.Table.from_pandas(rows, schema=schema, preserve_index=False)
        final = folder / f"part-{index:08d}.parquet"
        partial = folder / f".{final.name}.tmp"
        pq.write_table(table, partial)
        os.replace(partial, final)

    return sink
