"""Reading and writing the command line's files: CSV, TSV, Parquet, h5ad."""

from __future__ import annotations

import os
from pathlib import Path

import pandas as pd

from .messages import few

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
    if not path.is_file():
        raise ValueError(f"no such file: {str(path)!r}")
    return path


def read_table(path, *, text_cells: bool = False) -> pd.DataFrame:
    """A CSV, TSV or Parquet table with its first column as the (string) index.

    ``text_cells`` reads every cell of a CSV or TSV file as text (for names
    and labels), empty cells as "".
    """
    path = _existing(path)
    kind = file_format(path)
    if kind == "h5ad":
        raise ValueError(f"{str(path)!r} is an AnnData file; a table (.csv, .tsv, .parquet) is needed here")
    if kind == "parquet":
        _need("pyarrow", "parquet", "reading Parquet")
        frame = pd.read_parquet(path)
        if isinstance(frame.index, pd.RangeIndex) and frame.shape[1] and not pd.api.types.is_numeric_dtype(
                frame.dtypes.iloc[0]):
            frame = frame.set_index(frame.columns[0])
    else:
        frame = pd.read_csv(path, sep="," if kind == "csv" else "\t", index_col=0,
                            dtype=str if text_cells else None, keep_default_na=not text_cells)
    if frame.shape[1] == 0:
        raise ValueError(f"{str(path)!r} has no columns besides its first; is the separator right "
                         f"({'comma' if kind == 'csv' else 'tab'} for .{kind})?")
    frame.index = frame.index.map(str)
    frame.columns = frame.columns.map(str)
    return frame


def read_data(path, *, transpose: bool = False):
    """The data file: a DataFrame (features x samples) or, for .h5ad, an AnnData."""
    path = _existing(path)
    if file_format(path) == "h5ad":
        if transpose:
            raise ValueError("--transpose applies to tables; an .h5ad file always holds cells x genes")
        anndata = _need("anndata", "anndata", "reading .h5ad files")
        return anndata.read_h5ad(path)
    frame = read_table(path)
    return frame.T if transpose else frame


def read_pairs(path, features: pd.Index) -> pd.DataFrame:
    """Two columns of feature names; a first line naming no feature is a header."""
    path = _existing(path)
    if file_format(path) == "parquet":
        _need("pyarrow", "parquet", "reading Parquet")
        frame = pd.read_parquet(path).reset_index(drop=True).astype(str)
    else:
        frame = pd.read_csv(path, sep="," if file_format(path) == "csv" else "\t", header=None, dtype=str,
                            keep_default_na=False)
    if frame.shape[1] < 2:
        raise ValueError(f"{str(path)!r} needs two columns (first and second feature of each pair)")
    frame = frame.iloc[:, :2]
    if len(frame) and not frame.iloc[0].isin(features).any():
        frame = frame.iloc[1:]
    frame.columns = ["feature_a", "feature_b"]
    return frame.reset_index(drop=True)


def sample_labels(path, column: str) -> pd.Series:
    """The labels of one column of a sample-annotation table, as text, indexed by sample."""
    frame = read_table(path, text_cells=True)
    if column not in frame.columns:
        raise ValueError(f"{str(path)!r} has no column {column!r}; its columns are {few(frame.columns, 8)}")
    labels = frame[column]
    keep = labels.notna() & (labels.astype(str) != "")
    return labels[keep].astype(str)


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
        raise ValueError(f"cannot write results to {str(path)!r}: use a name ending in .csv, .tsv or .parquet")
    return kind


def write_table(frame: pd.DataFrame, path) -> None:
    """Write a results table; the format follows the file name."""
    kind = output_format(path)
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    if kind == "parquet":
        _need("pyarrow", "parquet", "writing Parquet")
        frame.to_parquet(path, index=False)
    else:
        frame.to_csv(path, sep="," if kind == "csv" else "\t", index=False)
