"""Reading and writing the command line's files: CSV, TSV, Parquet, h5ad.

Every error names the file it is about.
"""

from __future__ import annotations

import contextlib
import os
from pathlib import Path

import pandas as pd

from .atomic import atomic_path
from .messages import few
from .parquet_sink import json_attrs

_COMPRESSION = (".gz", ".bz2", ".xz", ".zst", ".zip")
_FORMATS = {".csv": "csv", ".tsv": "tsv", ".txt": "tsv", ".tab": "tsv", ".parquet": "parquet",
            ".pq": "parquet", ".h5ad": "h5ad"}


def file_format(path) -> str:
    """"csv", "tsv", "parquet" or "h5ad", from the file name (after any compression suffix)."""
    suffixes = [s.lower() for s in Path(path).suffixes]
    if suffixes and suffixes[-1] in _COMPRESSION:
        suffixes = suffixes[:-1]
    if suffixes and suffixes[-1] in _FORMATS:
        return _FORMATS[suffixes[-1]]
    raise ValueError(f"cannot tell the format of {str(path)!r} from its name; use .csv, .tsv, .parquet "
                     "or .h5ad (optionally compressed, e.g. .tsv.gz)")


def _need(module: str, extra: str, why: str):
    try:
        return __import__(module)
    except ImportError:
        raise ValueError(f"{why} needs {module}: pip install 'corrshift[{extra}]'") from None


def _existing(path) -> Path:
    path = Path(path)
    if path.is_dir():
        raise ValueError(f"{str(path)!r} is a folder; a file is needed here")
    if not path.is_file():
        raise ValueError(f"no such file: {str(path)!r}")
    return path


#: The first bytes of each compression pandas reads, for files whose name
#: does not say they are compressed (a gzip file saved as .tsv).
_MAGIC = ((b"\x1f\x8b", "gzip"), (b"BZh", "bz2"), (b"\xfd7zXZ\x00", "xz"), (b"\x28\xb5\x2f\xfd", "zstd"),
          (b"PK\x03\x04", "zip"))


def compression(path) -> str | None:
    """The compression of a file from its first bytes ("gzip", "bz2", "xz", "zstd", "zip"), or None."""
    with open(path, "rb") as f:
        start = f.read(6)
    return next((kind for magic, kind in _MAGIC if start.startswith(magic)), None)


@contextlib.contextmanager
def _reading(path: Path, what: str):
    """Errors of the libraries that read ``path`` as one line that names the file."""
    try:
        yield
    except pd.errors.EmptyDataError:
        raise ValueError(f"{str(path)!r} is empty") from None
    except UnicodeDecodeError:
        raise ValueError(f"cannot read {str(path)!r} as {what}: it is not text (nor compressed text); "
                         "is it the right file?") from None
    except (ValueError, OSError, EOFError, ImportError) as e:
        reason = " ".join(str(e).split()) or type(e).__name__
        raise ValueError(f"cannot read {str(path)!r} as {what}: {reason}") from None


def _text_table(path: Path, kind: str, **options) -> pd.DataFrame:
    with _reading(path, kind.upper()):
        return pd.read_csv(path, sep="," if kind == "csv" else "\t", compression=compression(path), **options)


def _parquet_table(path: Path) -> pd.DataFrame:
    _need("pyarrow", "parquet", "reading Parquet")
    with _reading(path, "Parquet"):
        return pd.read_parquet(path)


def _repeated(names) -> list:
    names = pd.Index(names)
    return list(names[names.duplicated()].unique())


def read_table(path, *, text_cells: bool = False, rows: str = "row", columns: str | None = None) -> pd.DataFrame:
    """A CSV, TSV or Parquet table with its first column as the (string) index.

    ``text_cells`` reads every cell of a CSV or TSV file as text (for names
    and labels), empty cells as "". Compression is told from the file's
    content, whatever its name. ``rows`` and ``columns`` say what the first
    column and the header name ("feature", "sample"): a name repeated in
    either is an error that says so (``columns=None``: header names may
    repeat).
    """
    path = _existing(path)
    kind = file_format(path)
    if kind == "h5ad":
        raise ValueError(f"{str(path)!r} is an AnnData file; a table (.csv, .tsv, .parquet) is needed here")
    if kind == "parquet":
        frame = _parquet_table(path)
        if isinstance(frame.index, pd.RangeIndex) and frame.shape[1] and not pd.api.types.is_numeric_dtype(
                frame.dtypes.iloc[0]):
            frame = frame.set_index(frame.columns[0])
        header = frame.columns
    else:
        frame = _text_table(path, kind, index_col=0, dtype=str if text_cells else None,
                            keep_default_na=not text_cells)
        # pandas renames a repeated header name ("s1" to "s1.1"); the header
        # as written tells the repeats.
        header = _text_table(path, kind, header=None, nrows=1, dtype=str, keep_default_na=False).iloc[0, 1:]
    if frame.shape[1] == 0:
        raise ValueError(f"{str(path)!r} has no columns besides its first; is the separator right "
                         f"({'comma' if kind == 'csv' else 'tab'} for .{kind})?")
    if len(frame) == 0:
        raise ValueError(f"{str(path)!r} has a header line but no rows")
    frame.index = frame.index.map(str)
    frame.columns = frame.columns.map(str)
    for names, what, where in ((frame.index, rows, "first column"), (header, columns, "header")):
        repeated = _repeated(pd.Index(names).map(str)) if what is not None else []
        if repeated:
            raise ValueError(f"{str(path)!r} repeats the {what} name{'s' if len(repeated) > 1 else ''} "
                             f"{few(repeated)} in its {where}; give each {what} a name of its own")
    return frame


def _check_numbers(frame: pd.DataFrame, path: Path) -> None:
    """Every cell of the data table is a number (or empty)."""
    text = [c for c, t in frame.dtypes.items() if not pd.api.types.is_numeric_dtype(t)]
    if not text:
        return
    column = frame[text[0]]
    cells = pd.to_numeric(column, errors="coerce").isna() & column.notna()
    where = f"{column[cells.idxmax()]!r} in column {text[0]!r}, row {cells.idxmax()!r}" if cells.any() else \
        f"column {text[0]!r}"
    more = f" (and {len(text) - 1} more column{'s' if len(text) > 2 else ''})" if len(text) > 1 else ""
    raise ValueError(f"{str(path)!r} has text where a number is expected: {where}{more}; the table needs "
                     "names in its first column and numbers in every other (empty cells and NA count as "
                     "missing values)")


def read_data(path, *, transpose: bool = False):
    """The data file: a DataFrame (features x samples) or, for .h5ad, an AnnData."""
    path = _existing(path)
    if file_format(path) == "h5ad":
        if transpose:
            raise ValueError("--transpose applies to tables; an .h5ad file always holds cells x genes")
        anndata = _need("anndata", "anndata", "reading .h5ad files")
        with _reading(path, "an AnnData file"):
            data = anndata.read_h5ad(path)
        for names, what in ((data.var_names, "gene (var)"), (data.obs_names, "cell (obs)")):
            repeated = _repeated(names)
            if repeated:
                raise ValueError(f"{str(path)!r} repeats the {what} names {few(repeated)}; give each a name "
                                 "of its own")
        return data
    rows, columns = ("sample", "feature") if transpose else ("feature", "sample")
    frame = read_table(path, rows=rows, columns=columns)
    _check_numbers(frame, path)
    return frame.T if transpose else frame


def read_pairs(path, features: pd.Index) -> pd.DataFrame:
    """Two columns of feature names; a first line naming no feature is a header."""
    return _two_columns(path, features, ("feature_a", "feature_b"), "first and second feature of each pair")


def read_sets(path, features: pd.Index) -> pd.DataFrame:
    """Gene sets: a set name and a feature name per line; a first line naming no feature is a header."""
    return _two_columns(path, features, ("set", "feature"), "a set name and one of its features per line")


def read_features(path, features: pd.Index) -> list[str]:
    """Feature names, one per line (the first column of a table); a first line naming no feature is a header."""
    names = _text_cells(path).iloc[:, 0]
    if len(names) and names.iloc[0] not in features:
        names = names.iloc[1:]
    return names.tolist()


def _text_cells(path) -> pd.DataFrame:
    """A table's cells as text, without a header."""
    path = _existing(path)
    kind = file_format(path)
    if kind == "parquet":
        return _parquet_table(path).reset_index(drop=True).astype(str)
    return _text_table(path, kind, header=None, dtype=str, keep_default_na=False)


def _two_columns(path, features: pd.Index, names: tuple[str, str], holding: str) -> pd.DataFrame:
    frame = _text_cells(path)
    if frame.shape[1] < 2:
        raise ValueError(f"{str(path)!r} needs two columns ({holding})")
    frame = frame.iloc[:, :2]
    if len(frame) and not frame.iloc[0].isin(features).any():
        frame = frame.iloc[1:]
    frame.columns = list(names)
    return frame.reset_index(drop=True)


def sample_labels(path, column: str) -> pd.Series:
    """The labels of one column of a sample-annotation table, as text, indexed by every sample it lists
    (NaN where the cell is empty: no label)."""
    frame = read_table(path, text_cells=True, rows="sample")
    if column not in frame.columns:
        raise ValueError(f"{str(path)!r} has no column {column!r}; its columns are {few(frame.columns, 8)}")
    labels = frame[column]
    keep = labels.notna() & (labels.astype(str) != "")
    return labels.astype(str).where(keep)


def is_folder_output(path) -> bool:
    """Whether a results name means a Parquet dataset folder: an existing
    folder, or a name that ends in a separator or has no extension."""
    text = str(path)
    return Path(text).is_dir() or text.endswith(("/", os.sep)) or not Path(text).suffix


def output_format(path) -> str:
    """"csv", "tsv" or "parquet" for a results file name."""
    try:
        kind = file_format(path)
    except ValueError:
        kind = None
    if kind not in ("csv", "tsv", "parquet"):
        raise ValueError(f"cannot write results to {str(path)!r}: use a file name ending in .csv, .tsv or "
                         ".parquet (.tsv.gz and the like compress the file), or a name without extension "
                         "for a Parquet dataset folder")
    return kind


def output_target(out) -> tuple[object | None, object | None]:
    """(folder, file) of a results name: which one ``out`` names, the other None ((None, None) without it).

    A name with a table extension (.csv, .tsv, .parquet, optionally
    compressed as .tsv.gz) is a file of that format; an existing folder,
    or a name ending in a separator or without extension, is a Parquet
    dataset folder (see :func:`is_folder_output`). Any other name is a
    ValueError, as is a Parquet file without pyarrow: before the analysis,
    not after it.
    """
    if out is None:
        return None, None
    if is_folder_output(out):
        return out, None
    if output_format(out) == "parquet":
        _need("pyarrow", "parquet", "writing Parquet")
    return None, out


def write_table(frame: pd.DataFrame, path) -> None:
    """Write a results table; the format follows the file name.

    A Parquet file also holds the table's ``attrs`` (the analysis' groups
    and options), which ``pandas.read_parquet`` gives back. The file is
    written under a temporary name and renamed to ``path`` when complete
    (see :func:`corrshift.atomic.atomic_path`): ``path`` holds the earlier
    file or the new one, never part of a table.
    """
    kind = output_format(path)
    if kind == "parquet":
        _need("pyarrow", "parquet", "writing Parquet")
        # pandas keeps attrs (the analysis: groups, options, seed) in the file's metadata, as JSON.
        frame = frame.copy(deep=False)
        frame.attrs = json_attrs(frame.attrs)
    with atomic_path(path) as partial:
        if kind == "parquet":
            frame.to_parquet(partial, index=False)
        else:
            frame.to_csv(partial, sep="," if kind == "csv" else "\t", index=False)
