"""Result tables from the native columns: names, p-values, q-values."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .analyses import analysis_of
from .classes import change_classes
from .pvalues import PValueTally, bh_qvalues, permutation_pvalues, permutation_qvalues


def statistic(columns) -> np.ndarray:
    """The tested statistic of native columns or of a table: ``z_diff`` or ``score``."""
    return columns[analysis_of(columns).statistic]


def column_pvalues(columns: dict[str, np.ndarray]) -> np.ndarray:
    """The permutation p-values of native columns (NaN where the statistic is undefined)."""
    return permutation_pvalues(columns["extreme"], columns["valid"], statistic(columns))


def feature_names(features: pd.Index, positions: np.ndarray) -> pd.Categorical:
    """The names of features at ``positions``: a Categorical over the feature index.

    Its codes are the positions themselves, so no name is copied per row; it
    compares equal to the names, and writes them to text and Parquet files.

    Parameters
    ----------
    features : pandas.Index
        The analysed features' names (unique).
    positions : ndarray of int
        Feature positions, one per row.

    Returns
    -------
    pandas.Categorical
    """
    return pd.Categorical.from_codes(positions, dtype=pd.CategoricalDtype(features), validate=False)


def _frame(columns: dict) -> pd.DataFrame:
    # copy=False: the columns stay the arrays given, not copied into one block.
    return pd.DataFrame(columns, copy=False)


def ztest_rows(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The z-test rows of native z-test columns, without q-values.

    ``prep`` is the analysis' :class:`~corrshift.api.Prepared` inputs. A
    row whose correlation is undefined in a group has NaN from ``z_diff``
    on. ``class`` is each pair's class of change at ``prep.class_alpha``
    (:func:`corrshift.classes.change_classes`). The engine's columns join
    the table as they are: float32, as computed, not widened copies.
    """
    return _frame({
        "feature_a": feature_names(prep.features, columns["first"]),
        "feature_b": feature_names(prep.features, columns["second"]),
        "r1": columns["r1"],
        "r2": columns["r2"],
        "class": change_classes(columns["r1"], columns["r2"], len(prep.group1), len(prep.group2), prep.class_alpha),
        "z_diff": columns["z_diff"],
        "p_normal": columns["p_normal"],  # NaN where z_diff is (the engine's)
        "p_permutation": column_pvalues(columns),
    })


def score_rows(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score rows of native score columns, without q-values (NaN rows for undefined scores)."""
    return _frame({
        "feature": feature_names(prep.features, columns["feature"]),
        "score": columns["score"],
        "p_permutation": column_pvalues(columns),
    })


def add_qvalues(table: pd.DataFrame, columns: dict[str, np.ndarray] | None = None) -> pd.DataFrame:
    """The table with the q-values of every p-value column, adjusted over its defined p-values (the tested rows).

    ``columns``, the native columns of the table's rows, let the
    permutation q-values come from the permutation counts
    (:func:`corrshift.pvalues.permutation_qvalues`). The q-value columns
    join the table as they are, not copied.
    """
    q = {}
    if "p_normal" in table.columns:
        # The engine's float32 p-values when at hand: the same values, without a check that they are.
        q["q_normal"] = bh_qvalues(table["p_normal"].to_numpy() if columns is None else columns["p_normal"])
    p = table["p_permutation"].to_numpy()
    q["q_permutation"] = (bh_qvalues(p) if columns is None
                          else permutation_qvalues(columns["extreme"], columns["valid"], p))
    return pd.concat([table, _frame(q).set_axis(table.index)], axis=1)


def add_permutation_qvalues(table: pd.DataFrame, tally: PValueTally) -> pd.DataFrame:
    """Add ``q_permutation`` for some rows of an analysis, adjusted over all its tested rows.

    ``tally`` holds the permutation p-values of every tested row of the
    analysis, kept or not.
    """
    table["q_permutation"] = tally.qvalues(table["p_permutation"].to_numpy())
    return table


def ztest_table(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The z-test table of native z-test columns."""
    return add_qvalues(ztest_rows(prep, columns), columns)


def unit_table(names, pairs: np.ndarray, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score table of units of pairs (gene sets): ``set``, the number of ``pairs`` it scores, and its
    ``score``, ``p_permutation`` and ``q_permutation``."""
    return add_qvalues(pd.DataFrame({
        "set": list(names),
        "pairs": pairs,
        "score": columns["score"],
        "p_permutation": column_pvalues(columns),
    }))


def score_table(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score table of native score columns."""
    return add_qvalues(score_rows(prep, columns), columns)
