"""Streaming result rows to a Parquet dataset folder, one file per chunk."""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
from collections.abc import Callable, Iterator

import numpy as np

from .atomic import atomic_folder, check_new_folder


def pyarrow_modules():
    """``pyarrow`` and ``pyarrow.parquet``, or an ImportError that says how to install them."""
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise ImportError("writing a Parquet dataset needs pyarrow: pip install 'corrshift[parquet]'") from None
    return pyarrow, pyarrow.parquet


def json_attrs(attrs: dict) -> dict:
    """A table's ``attrs`` as JSON holds them (numpy numbers as numbers, anything else JSON lacks as text):
    what pandas writes to a Parquet file's schema metadata, under ``PANDAS_ATTRS``, and reads back."""
    def plain(value):
        return value.item() if hasattr(value, "item") and not isinstance(value, (str, bytes)) else str(value)
    return json.loads(json.dumps(attrs, default=plain))


def attrs_metadata(attrs: dict) -> dict[bytes, bytes]:
    """Parquet schema metadata that gives ``pandas.read_parquet`` the table's ``attrs``, also for a dataset
    folder (pandas reads them from the first file's schema)."""
    return {b"PANDAS_ATTRS": json.dumps(json_attrs(attrs)).encode()}


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
        ``sink(chunk_index, columns)``, with the attribute ``folder``. Chunk ``i`` goes to
        ``part-<i, 8 digits>.parquet``, so the files sorted by name hold the
        rows in pair order, whatever order the chunks finish in. Each file is
        written under a hidden name and renamed when complete, so a reader
        never sees half a file.
    """
    pa, pq = pyarrow_modules()
    folder = check_new_folder(folder)
    folder.mkdir(parents=True, exist_ok=True)

    def sink(index: int, columns: dict[str, np.ndarray]) -> None:
        rows = to_table(columns) if to_table is not None else columns
        if isinstance(rows, dict):
            table = pa.table(rows, schema=schema)
        else:
            table = pa.Table.from_pandas(rows, schema=schema, preserve_index=False)
        _write(pq, table, folder / f"part-{index:08d}.parquet")

    sink.folder = folder
    return sink


def _write(pq, table, final) -> None:
    """Write ``table`` to ``final`` under a hidden name, renamed when complete."""
    partial = final.parent / f".{final.name}.tmp"
    pq.write_table(table, partial)
    os.replace(partial, final)


def restamp(folder, attrs: dict) -> None:
    """Give the first file of a dataset ``folder`` (the schema that pandas reads a dataset's ``attrs`` from)
    the metadata of ``attrs``: what only the end of a run knows. Rewrites that one file."""
    _, pq = pyarrow_modules()
    first = min(pathlib.Path(folder).glob("part-*.parquet"))
    table = pq.read_table(first)
    _write(pq, table.replace_schema_metadata({**(table.schema.metadata or {}), **attrs_metadata(attrs)}), first)


@contextlib.contextmanager
def parquet_dataset(folder, to_table: Callable | None = None,
                    schema=None) -> Iterator[Callable[[int, dict[str, np.ndarray]], None]]:
    """A :func:`parquet_sink` whose dataset appears under ``folder`` only when complete.

    The files are written to a hidden folder beside ``folder``, renamed to
    ``folder`` when the block ends without error and removed when it fails
    (see :func:`corrshift.atomic.atomic_folder`): an interrupted run leaves
    no dataset that a reader could take for the whole one.

    Parameters
    ----------
    folder, to_table, schema
        As in :func:`parquet_sink`.

    Yields
    ------
    callable
        The sink, ``sink(chunk_index, columns)``.
    """
    pyarrow_modules()  # a missing pyarrow is reported before anything is made
    with atomic_folder(folder) as building:
        yield parquet_sink(building, to_table=to_table, schema=schema)
