"""Result tables from the native columns: names, p-values, q-values."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .classes import change_classes
from .pvalues import PValueTally, bh_qvalues, permutation_pvalues


def statistic(columns) -> np.ndarray:
    """The tested statistic of native columns or of a table: ``z_diff`` or ``score``."""
    return columns["z_diff"] if "z_diff" in columns else columns["score"]


def column_pvalues(columns: dict[str, np.ndarray]) -> np.ndarray:
    """The permutation p-values of native columns (NaN where the statistic is undefined)."""
    return permutation_pvalues(columns["extreme"], columns["valid"], statistic(columns))


def ztest_rows(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The z-test rows of native z-test columns, without q-values.

    ``prep`` is the analysis' :class:`~corrshift.api.Prepared` inputs. A
    row whose correlation is undefined in a group has NaN from ``z_diff``
    on. ``class`` is each pair's class of change at ``prep.class_alpha``
    (:func:`corrshift.classes.change_classes`).
    """
    first, second = columns["first"], columns["second"]
    z_diff = np.asarray(columns["z_diff"], dtype=np.float64)
    p_normal = np.asarray(columns["p_normal"], dtype=np.float64)
    p_normal[np.isnan(z_diff)] = np.nan
    r1 = np.asarray(columns["r1"], dtype=np.float64)
    r2 = np.asarray(columns["r2"], dtype=np.float64)
    return pd.DataFrame({
        "feature_a": prep.features[first].to_numpy(),
        "feature_b": prep.features[second].to_numpy(),
        "r1": r1,
        "r2": r2,
        "class": change_classes(r1, r2, len(prep.group1), len(prep.group2), prep.class_alpha),
        "z_diff": z_diff,
        "p_normal": p_normal,
        "p_permutation": column_pvalues(columns),
    })


def score_rows(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score rows of native score columns, without q-values (NaN rows for undefined scores)."""
    return pd.DataFrame({
        "feature": prep.features[columns["feature"]].to_numpy(),
        "score": np.asarray(columns["score"], dtype=np.float64),
        "p_permutation": column_pvalues(columns),
    })


def add_qvalues(table: pd.DataFrame) -> pd.DataFrame:
    """Add the q-values of every p-value column, adjusted over its defined p-values (the tested rows)."""
    for p in ("p_normal", "p_permutation"):
        if p in table.columns:
            table["q" + p[1:]] = bh_qvalues(table[p].to_numpy())
    return table


def add_permutation_qvalues(table: pd.DataFrame, tally: PValueTally) -> pd.DataFrame:
    """Add ``q_permutation`` for some rows of an analysis, adjusted over all its tested rows.

    ``tally`` holds the permutation p-values of every tested row of the
    analysis, kept or not.
    """
    table["q_permutation"] = tally.qvalues(table["p_permutation"].to_numpy())
    return table


def ztest_table(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The z-test table of native z-test columns."""
    return add_qvalues(ztest_rows(prep, columns))


def unit_table(names, pairs: np.ndarray, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score table of units of pairs (gene sets): ``set``, the number of ``pairs`` it scores, and its
    ``score``, ``p_permutation`` and ``q_permutation``."""
    return add_qvalues(pd.DataFrame({
        "set": list(names),
        "pairs": pairs,
        "score": np.asarray(columns["score"], dtype=np.float64),
        "p_permutation": column_pvalues(columns),
    }))


def score_table(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score table of native score columns."""
    return add_qvalues(score_rows(prep, columns))
