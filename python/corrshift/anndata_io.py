"""Results kept in the AnnData they came from, in a form that h5ad files keep.

``adata.uns[key]`` holds the table as one array per column (categorical
columns as their codes, with their categories beside them), the column
order, the table's ``attrs`` and the analysis parameters; a score table of
one row per gene also goes to ``adata.var`` as columns ``<key>_score``,
``<key>_p_permutation`` and ``<key>_q_permutation``.
"""

from __future__ import annotations

import numbers

import numpy as np
import pandas as pd

from .messages import few

#: Columns of a per-gene score table copied to ``adata.var``.
VAR_COLUMNS = ("score", "p_permutation", "q_permutation")


def _storable(value):
    """``value`` as something h5ad writes and reads back: str, number, bool, array or dict.

    None has no h5ad form; dict entries that are None are left out (see
    :func:`store_result`). Tuples and lists become arrays (of text when
    they mix types), pandas objects their values, anything else its text.
    """
    if isinstance(value, dict):
        return {str(k): _storable(v) for k, v in value.items() if v is not None}
    if isinstance(value, (str, bool, np.bool_, numbers.Number)):
        return value
    if isinstance(value, (list, tuple, np.ndarray, pd.Series, pd.Index)):
        return _column(pd.Series(np.asarray(value, dtype=object).ravel()))
    return str(value)


def _column(values: pd.Series) -> np.ndarray:
    """A table column as an array h5ad keeps: numbers and bools as they are, the rest as text."""
    if values.dtype.kind in "biuf":
        return values.to_numpy()
    inferred = pd.api.types.infer_dtype(values, skipna=False)
    if inferred in ("integer", "floating", "mixed-integer-float", "boolean"):
        return values.to_numpy(dtype=float if inferred != "boolean" else bool)
    return values.astype(str).to_numpy(dtype=object)


def _stored_column(values: pd.Series) -> np.ndarray:
    """A table column as h5ad keeps it compactly: a categorical's codes (its categories are kept beside
    them, once), numbers in their own type (float32 stays float32), other columns as text."""
    if isinstance(values.dtype, pd.CategoricalDtype):
        return values.cat.codes.to_numpy()
    return _column(values)


def _loaded_column(values, categories) -> np.ndarray | pd.Categorical:
    """A stored column as the table had it: a categorical from its codes and ``categories`` (or, as
    results stored their categorical columns before, from its labels), anything else as stored."""
    values = np.asarray(values)
    if categories is None:
        return values
    categories = np.asarray(categories)
    if values.dtype.kind in "iu":
        return pd.Categorical.from_codes(values, categories=categories)
    return pd.Categorical(values, categories=categories)


def _is_gene_scores(table: pd.DataFrame) -> bool:
    return "feature" in table.columns and "score" in table.columns


def store_result(adata, table: pd.DataFrame, key_added: str, params: dict | None = None) -> None:
    """Keep a result table and its analysis parameters in ``adata``, as scanpy tools do.

    ``adata.uns[key_added]`` becomes a dict of

    - ``"table"``: one array per column: numbers in their own type
      (float32 stays float32), categorical columns (feature names,
      ``class``) as their integer codes, other columns as text (a
      DataFrame in ``uns`` comes back from h5ad without its ``attrs``, and
      one with a column of mixed kinds cannot be written),
    - ``"categories"``: the categories of each categorical column, once,
    - ``"columns"``: the column order (h5ad files list a dict's entries by
      name),
    - ``"attrs"``: the table's ``attrs`` (groups, sizes, options),
    - ``"params"``: ``params``.

    None has no form in h5ad files: entries of ``attrs`` and ``params``
    that are None are left out, so read them back with ``.get``. Tuples and
    lists are stored as arrays.

    When ``table`` scores genes (columns ``feature`` and ``score``, one row
    per gene of ``adata.var_names``), its ``score``, ``p_permutation`` and
    ``q_permutation`` also go to ``adata.var`` as
    ``f"{key_added}_score"`` etc., aligned by gene; genes the table does not
    list get NaN. Other tables remove such columns left by an earlier
    result under the same key.

    Parameters
    ----------
    adata : anndata.AnnData
        The data the table was computed from; changed in place.
    table : DataFrame
        A table from :func:`corrshift.ztest` or :func:`corrshift.score`.
    key_added : str
        Key in ``adata.uns`` and prefix of the ``adata.var`` columns.
    params : dict, optional
        The analysis parameters (method, permutations, groupby, ...).

    Raises
    ------
    ValueError
        A score table that lists a gene twice or genes not in
        ``adata.var_names``.
    """
    if not isinstance(key_added, str) or not key_added:
        raise ValueError(f"key_added must be a non-empty string; got {key_added!r}")
    names = [f"{key_added}_{c}" for c in VAR_COLUMNS]
    if _is_gene_scores(table):
        genes = pd.Index(table["feature"].astype(str))
        if genes.has_duplicates:
            raise ValueError(f"the score table lists genes more than once: {few(genes[genes.duplicated()])}")
        where = adata.var_names.get_indexer(genes)
        if (where < 0).any():
            raise ValueError(f"the score table lists {(where < 0).sum()} genes not in adata.var_names: "
                             f"{few(genes[where < 0])}; was it computed from this AnnData?")
        for column, name in zip(VAR_COLUMNS, names):
            if column in table.columns:
                values = np.full(adata.n_vars, np.nan)
                values[where] = table[column].to_numpy(dtype=float)
                adata.var[name] = values
    else:
        for name in names:
            if name in adata.var.columns:
                del adata.var[name]
    adata.uns[key_added] = {
        "table": {str(c): _stored_column(table[c]) for c in table.columns},
        "columns": np.array([str(c) for c in table.columns], dtype=object),
        "attrs": _storable(dict(table.attrs)),
        "params": _storable(dict(params or {})),
        # Categorical columns (feature names, classes) keep their categories, in order, beside their codes.
        "categories": {str(c): _column(pd.Series(table[c].cat.categories)) for c in table.columns
                       if isinstance(table[c].dtype, pd.CategoricalDtype)},
    }


def _plain(value):
    """Values read from h5ad as the Python kinds the table's ``attrs`` had."""
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, np.ndarray):
        return value.tolist() if value.ndim else value.item()
    return value.item() if isinstance(value, np.generic) else value


def load_result(adata, key_added: str) -> pd.DataFrame:
    """The result table kept by :func:`store_result` under ``key_added``.

    Parameters
    ----------
    adata : anndata.AnnData
        The data holding the result (read from h5ad or not).
    key_added : str
        The key given to :func:`store_result`.

    Returns
    -------
    DataFrame
        The columns in their stored order and types: categorical columns
        as categoricals over their categories (unordered), numbers as they
        were, text columns as Python strings; ``attrs`` as stored (arrays
        come back as lists). A table of corrshift comes back equal to the
        one stored, dtypes included. The analysis parameters are in
        ``adata.uns[key_added]["params"]``. Results stored with their
        categorical columns as text (by earlier versions) load as well.
    """
    stored = adata.uns.get(key_added)
    if not isinstance(stored, dict) or not {"table", "columns"} <= set(stored):
        raise KeyError(f"adata.uns has no corrshift result under {key_added!r}")
    columns = [str(c) for c in stored["columns"]]
    categories = stored.get("categories", {})
    table = pd.DataFrame({c: _loaded_column(stored["table"][c], categories.get(c)) for c in columns},
                         columns=columns, copy=False)
    table.attrs = _plain(dict(stored.get("attrs", {})))
    return table
