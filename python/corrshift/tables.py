"""Result tables from the native arrays: names, NaN for untested rows, q-values."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .pvalues import bh_qvalues, permutation_pvalues, permutation_qvalues

#: The native mark of a correlation that is undefined (a feature without
#: variance over a group's samples).
UNDEFINED = -2.0

ZTEST_COLUMNS = ("feature_a", "feature_b", "r1", "r2", "z_diff", "p_normal", "p_permutation",
                 "q_normal", "q_permutation")
SCORE_COLUMNS = ("feature", "score", "p_permutation", "q_permutation")


def ztest_rows(prep, first: np.ndarray, second: np.ndarray, native, permutations: int):
    """The z-test rows of the pairs (first, second), without q-values.

    ``prep`` is the analysis' :class:`~corrshift.api.Prepared` inputs,
    ``native`` the five native arrays of the pairs. Returns the table and
    the mask of tested rows (both correlations defined, no feature constant
    within a group, a finite ``z_diff``); untested rows are NaN from
    ``z_diff`` on.
    """
    r1, r2, z_diff, p_normal, p_native = (np.asarray(a, dtype=np.float64) for a in native)
    undefined1 = (r1 == UNDEFINED) | prep.constant1[first] | prep.constant1[second]
    undefined2 = (r2 == UNDEFINED) | prep.constant2[first] | prep.constant2[second]
    r1[undefined1] = np.nan
    r2[undefined2] = np.nan
    tested = ~(undefined1 | undefined2) & np.isfinite(z_diff)
    p_permutation = permutation_pvalues(p_native, permutations)
    for column in (z_diff, p_normal, p_permutation):
        column[~tested] = np.nan
    table = pd.DataFrame({
        "feature_a": prep.features[first].to_numpy(),
        "feature_b": prep.features[second].to_numpy(),
        "r1": r1, "r2": r2, "z_diff": z_diff,
        "p_normal": p_normal, "p_permutation": p_permutation,
    })
    return table, tested


def score_rows(prep, rows: np.ndarray, scores, p_native, permutations: int):
    """The score rows of the features ``rows``, without q-values.

    Returns the table and the mask of tested rows (no constant feature, a
    finite score); untested rows are NaN from ``score`` on.
    """
    scores = np.asarray(scores, dtype=np.float64)
    tested = ~(prep.constant1[rows] | prep.constant2[rows]) & np.isfinite(scores)
    p_permutation = permutation_pvalues(p_native, permutations)
    scores[~tested] = np.nan
    p_permutation[~tested] = np.nan
    table = pd.DataFrame({
        "feature": prep.features[rows].to_numpy(),
        "score": scores,
        "p_permutation": p_permutation,
    })
    return table, tested


def add_qvalues(table: pd.DataFrame, tested: np.ndarray) -> pd.DataFrame:
    """Add the q-values of every p-value column, adjusted over the table's tested rows."""
    for p in ("p_normal", "p_permutation"):
        if p in table.columns:
            table["q" + p[1:]] = bh_qvalues(table[p].to_numpy(), tested)
    return table


def add_permutation_qvalues(table: pd.DataFrame, tested: np.ndarray, p_native, counts,
                            permutations: int) -> pd.DataFrame:
    """Add ``q_permutation`` for some rows of an analysis, adjusted over all its tested rows.

    ``counts`` tallies the permutation counts of every tested row of the
    analysis (see :func:`~corrshift.pvalues.permutation_qvalues`).
    """
    q = permutation_qvalues(p_native, counts, permutations)
    q[~tested] = np.nan
    table["q_permutation"] = q
    return table


def ztest_table(prep, first: np.ndarray, second: np.ndarray, native, permutations: int) -> pd.DataFrame:
    """The z-test table from the native arrays of the pairs (first, second)."""
    return add_qvalues(*ztest_rows(prep, first, second, native, permutations))


def score_table(prep, rows: np.ndarray, scores, p_native, permutations: int) -> pd.DataFrame:
    """The score table from the native arrays of the features ``rows``."""
    return add_qvalues(*score_rows(prep, rows, scores, p_native, permutations))
