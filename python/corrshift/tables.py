"""Result tables from the native columns: names, p-values, q-values."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .pvalues import PValueTally, bh_qvalues, permutation_pvalues

ZTEST_COLUMNS = ("feature_a", "feature_b", "r1", "r2", "z_diff", "p_normal", "p_permutation",
                 "q_normal", "q_permutation")
SCORE_COLUMNS = ("feature", "score", "p_permutation", "q_permutation")


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
    on.
    """
    first, second = columns["first"], columns["second"]
    z_diff = np.asarray(columns["z_diff"], dtype=np.float64)
    p_normal = np.asarray(columns["p_normal"], dtype=np.float64)
    p_normal[np.isnan(z_diff)] = np.nan
    return pd.DataFrame({
        "feature_a": prep.features[first].to_numpy(),
        "feature_b": prep.features[second].to_numpy(),
        "r1": np.asarray(columns["r1"], dtype=np.float64),
        "r2": np.asarray(columns["r2"], dtype=np.float64),
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


def score_table(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score table of native score columns."""
    return add_qvalues(score_rows(prep, columns))
