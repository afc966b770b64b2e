"""The user's data seen as one matrix of features x samples.

Accepted: a 2-D numpy array or scipy sparse matrix (features x samples), a
pandas DataFrame (rows = features, columns = samples), or an AnnData (cells x
genes, from ``.X`` or a named layer, dense or scipy sparse) or its ``.raw``
(with the genes of ``.raw``). Only the columns
of the analysed samples are ever converted.
"""

from __future__ import annotations

import dataclasses
import sys
from collections.abc import Callable

import numpy as np
import pandas as pd
from scipy import sparse

from .messages import few

_NUMERIC_KINDS = "biuf"


@dataclasses.dataclass(frozen=True)
class DataTable:
    """Names and a reader for the user's data.

    ``read(columns, rows)`` returns the numeric array of those feature rows
    (all when None) and sample columns; ``obs`` holds an AnnData's sample
    annotations.
    """

    features: pd.Index
    samples: pd.Index
    read: Callable[[np.ndarray, np.ndarray | None], np.ndarray]
    obs: pd.DataFrame | None = None


def is_anndata(data) -> bool:
    return all(hasattr(data, a) for a in ("X", "obs", "var", "obs_names", "var_names"))


def analysed_data(data, use_raw: bool, layer: str | None):
    """``data``, or with ``use_raw`` its ``.raw`` (scanpy's option): an AnnData's raw matrix and genes."""
    if not isinstance(use_raw, (bool, np.bool_)):
        raise ValueError(f"use_raw must be True or False; got {use_raw!r}")
    if not use_raw:
        return data
    if not is_anndata(data):
        raise ValueError("use_raw=True analyses an AnnData's .raw: data must be an AnnData; got "
                         f"{type(data).__name__}")
    if data.raw is None:
        raise ValueError("use_raw=True, but the AnnData has no .raw (set adata.raw = adata before scaling, or "
                         "give layer= for a layer of counts)")
    if layer is not None:
        raise ValueError(f"use_raw=True and layer={layer!r} do not go together: .raw has no layers")
    return data.raw


def as_table(data, layer: str | None = None) -> DataTable:
    """Describe ``data`` as features x samples without converting it."""
    if is_anndata(data):
        return _anndata_table(data, layer)
    if is_anndata_raw(data):
        return _raw_table(data, layer)
    if layer is not None:
        raise ValueError("layer= names a layer of an AnnData; data is a " + type(data).__name__)
    if isinstance(data, pd.DataFrame):
        return _frame_table(data)
    if sparse.issparse(data):
        _check_2d(data.shape, "data")
        _check_numeric(data.dtype, "data")
        matrix = data.tocsc()
        return DataTable(pd.RangeIndex(data.shape[0]), pd.RangeIndex(data.shape[1]),
                         lambda cols, rows: _rows(matrix[:, cols], rows).toarray())
    if isinstance(data, (str, bytes, dict, pd.Series)) or data is None:
        raise ValueError("data must be a 2-D array (features x samples), a pandas DataFrame or an "
                         f"AnnData; got {type(data).__name__}")
    try:
        array = np.asarray(data)
    except ValueError as e:
        raise ValueError(f"data could not be read as a 2-D array: {e}") from None
    _check_2d(array.shape, "data")
    _check_numeric(array.dtype, "data")
    return DataTable(pd.RangeIndex(array.shape[0]), pd.RangeIndex(array.shape[1]),
                     lambda cols, rows: _rows(array[:, cols], rows))


def _rows(block, rows):
    return block if rows is None else block[rows]


def _check_2d(shape, what: str) -> None:
    if len(shape) != 2:
        raise ValueError(f"{what} must be 2-D (features x samples); got shape {tuple(shape)}")


def _check_numeric(dtype, what: str) -> None:
    if np.dtype(dtype).kind not in _NUMERIC_KINDS:
        raise ValueError(f"{what} must hold numbers; got values of type {dtype}")


def _check_unique(index: pd.Index, what: str, hint: str) -> None:
    if not index.is_unique:
        dup = index[index.duplicated()].unique()
        raise ValueError(f"data has duplicate {what} names: {few(dup)}; {hint}")


def _frame_table(frame: pd.DataFrame) -> DataTable:
    _check_2d(frame.shape, "data")
    bad = [c for c, t in frame.dtypes.items() if not pd.api.types.is_numeric_dtype(t)]
    if bad:
        raise ValueError(f"data columns {few(bad)} are not numeric; a DataFrame holds one feature per row "
                         "and one sample per column, with feature names in the index "
                         "(for example df.set_index('gene'))")
    _check_unique(frame.index, "feature", "make the index unique")
    _check_unique(frame.columns, "sample", "make the column names unique")

    def read(cols, rows):
        block = frame.iloc[:, cols] if rows is None else frame.iloc[rows, cols]
        return block.to_numpy(dtype=np.float64, na_value=np.nan)

    return DataTable(frame.index, frame.columns, read)


def is_anndata_raw(data) -> bool:
    """Whether ``data`` is an AnnData's ``.raw``."""
    # anndata is imported whenever an AnnData's .raw exists.
    raw = getattr(sys.modules.get("anndata"), "Raw", None)
    return raw is not None and isinstance(data, raw)


def _anndata_table(adata, layer: str | None) -> DataTable:
    if layer is None:
        x = adata.X
        if x is None:
            raise ValueError("the AnnData has no .X; give layer= to use one of its layers")
    else:
        names = [k for k in adata.layers.keys() if k is not None]  # some versions list .X as None
        if layer not in names:
            raise ValueError(f"the AnnData has no layer {layer!r}; its layers are: {few(names) or 'none'}")
        x = adata.layers[layer]
    return _cells_table(x, adata.var_names, adata.obs_names, adata.obs)


def _raw_table(raw, layer: str | None) -> DataTable:
    """An AnnData's ``.raw``: its own matrix and gene names, the AnnData's cells and ``.obs``."""
    if layer is not None:
        raise ValueError(f"layer={layer!r} names a layer of an AnnData, but data is an AnnData's .raw, which "
                         "has none: pass the AnnData itself with layer=, or .raw without layer=")
    # .raw has no public .obs; its AnnData's is the one that annotates its cells.
    obs = getattr(getattr(raw, "_adata", None), "obs", None)
    return _cells_table(raw.X, raw.var_names, raw.obs_names, obs)


def _cells_table(x, var_names, obs_names, obs) -> DataTable:
    """A cells x genes matrix with its names, seen as genes x cells."""
    _check_2d(x.shape, "the AnnData matrix")
    _check_numeric(x.dtype, "the AnnData matrix")
    features, samples = pd.Index(var_names), pd.Index(obs_names)
    _check_unique(features, "gene (var)", "call adata.var_names_make_unique()")
    _check_unique(samples, "cell (obs)", "call adata.obs_names_make_unique()")
    by_cell = x.tocsr() if sparse.issparse(x) else x

    def read(cols, rows):
        block = by_cell[cols]
        if rows is not None:
            block = block[:, rows]
        block = block.toarray() if sparse.issparse(block) else np.asarray(block)
        return block.T

    return DataTable(features, samples, read, obs=obs)


def analysed_values(table: DataTable, columns: np.ndarray, rows: np.ndarray | None = None) -> np.ndarray:
    """The values of the analysed columns (of the given feature rows), as read.

    NaN is a missing value (it makes the feature's correlations undefined in
    its group); infinities are refused, since no correlation can use them.
    """
    values = np.asarray(table.read(columns, rows))
    if values.dtype.kind == "f":
        features = table.features if rows is None else table.features[rows]
        _check_finite(~np.isinf(values), features, "infinite values")
    return values


def _check_finite(finite: np.ndarray, features: pd.Index, what: str) -> None:
    if finite.all():
        return
    rows = np.flatnonzero(~finite.all(axis=1))
    raise ValueError(f"data has {what} in {len(rows)} feature{'s' if len(rows) != 1 else ''} "
                     f"among the analysed samples: {few(features[rows])}")
