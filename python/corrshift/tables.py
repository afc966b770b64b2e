"""Result tables from the native columns: names, p-values, q-values."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .analyses import analysis_of
from .classes import change_classes, group_classes
from .pairs import block_pairs
from .pvalues import PValueTally, bh_qvalues, permutation_pvalues, permutation_qvalues, qvalues_by_counts


def statistic(columns) -> np.ndarray:
    """The tested statistic of native columns or of a table: ``z_diff`` or ``score``."""
    return columns[analysis_of(columns).statistic]


def column_pvalues(columns: dict[str, np.ndarray]) -> np.ndarray:
    """The permutation p-values of native columns (NaN where the statistic is undefined): an adaptive run's
    own (``p_permutation``), else from the counts."""
    if "p_permutation" in columns:
        return columns["p_permutation"]
    return permutation_pvalues(columns["extreme"], columns["valid"], statistic(columns))


def feature_dtype(features: pd.Index) -> pd.CategoricalDtype:
    """The Categorical dtype of feature names: categories ``features``, in order."""
    return pd.CategoricalDtype(features)


def code_dtype(features: pd.Index) -> np.dtype:
    """The integer type pandas gives the codes of a Categorical over ``features`` (int16 up to 32,766 of
    them): positions built in it become a name column without a copy."""
    return pd.Categorical.from_codes(np.zeros(0, dtype=np.int8), dtype=feature_dtype(features)).codes.dtype


def feature_names(features: pd.Index, positions: np.ndarray) -> pd.Categorical:
    """The names of features at ``positions``: a Categorical over the feature index.

    Its codes are the positions themselves, so no name is copied per row
    (nor the positions, when they come in :func:`code_dtype`); it compares
    equal to the names, and writes them to text and Parquet files.

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
    return pd.Categorical.from_codes(positions, dtype=feature_dtype(features), validate=False)


def _frame(columns: dict) -> pd.DataFrame:
    # copy=False: the columns stay the arrays given, not copied into one block.
    return pd.DataFrame(columns, copy=False)


#: The p- and q-value columns of a table, in their order.
PVALUE_COLUMNS = ("p_permutation", "q_normal", "q_permutation")


def pvalue_columns(columns: dict[str, np.ndarray], qvalues: bool, release: bool) -> dict[str, np.ndarray]:
    """The p-value columns of native columns (:data:`PVALUE_COLUMNS`), with the q-values or without.

    The normal q-values come first, while the fewest other arrays are held:
    their sort holds 16 bytes a row of its own while it runs. With
    ``release``, the permutation counts leave ``columns`` once read, so that
    their memory goes before a sort of the permutation p-values and before
    the table's other columns are built.
    """
    found = {}
    if qvalues and "p_normal" in columns:
        # The engine's float32 p-values: its radix sort, without a check that they are float32.
        found["q_normal"] = bh_qvalues(columns["p_normal"])
    # Adaptive runs bring their own p-values, and rows with unequal cycle counts.
    adaptive = "p_permutation" in columns
    found["p_permutation"] = p = column_pvalues(columns)
    q = qvalues_by_counts(columns["extreme"], columns["valid"], p) if qvalues and not adaptive else None
    if release:
        del columns["extreme"], columns["valid"]
    if qvalues:
        # Unequal cycle counts: the permutation p-values' sort, with the counts' memory back.
        found["q_permutation"] = bh_qvalues(p) if q is None else q
    return {name: found[name] for name in PVALUE_COLUMNS if name in found}


def _names(prep, columns: dict[str, np.ndarray], name: str, release: bool) -> pd.Categorical:
    """Feature names from the positions ``columns[name]``, which leave ``columns`` with ``release``."""
    return feature_names(prep.features, columns.pop(name) if release else columns[name])


def _pair_names(prep, columns: dict[str, np.ndarray], release: bool) -> tuple[pd.Categorical, pd.Categorical]:
    """The names of each row's two features; for native columns without positions (all pairs,
    :func:`corrshift.native.ztest`), all pairs' positions made here, as the names' codes. Between two sets
    (``prep.sides``), ``feature_a`` names set A's features and ``feature_b`` set B's."""
    sides = prep.sides
    if sides is not None:
        first, second = (columns.pop(n) if release else columns[n] for n in ("first", "second"))
        return feature_names(sides.names_a, first), feature_names(sides.names_b, sides.positions_b(second))
    if "first" in columns:
        return _names(prep, columns, "first", release), _names(prep, columns, "second", release)
    k = len(prep.features)
    return tuple(feature_names(prep.features, p) for p in block_pairs(0, k, k, False, code_dtype(prep.features)))


def _ztest_frame(prep, columns: dict[str, np.ndarray], qvalues: bool, release: bool) -> pd.DataFrame:
    pvalues = pvalue_columns(columns, qvalues, release)
    feature_a, feature_b = _pair_names(prep, columns, release)
    return _frame({
        "feature_a": feature_a,
        "feature_b": feature_b,
        "r1": columns["r1"],
        "r2": columns["r2"],
        "class": change_classes(columns["r1"], columns["r2"], len(prep.group1), len(prep.group2), prep.class_alpha),
        "z_diff": columns["z_diff"],
        "p_normal": columns["p_normal"],  # NaN where z_diff is (the engine's)
        **pvalues,
        **_cycles(columns),
    })


def _score_frame(prep, columns: dict[str, np.ndarray], qvalues: bool, release: bool) -> pd.DataFrame:
    pvalues = pvalue_columns(columns, qvalues, release)
    named = ({"feature": _names(prep, columns, "feature", release)} if prep.sides is None
             else _side_names(prep, columns.pop("feature") if release else columns["feature"]))
    return _frame({**named, "score": columns["score"], **pvalues, **_cycles(columns)})


#: The values of the ``side`` column of scores between two sets: set A's features, set B's.
SIDES = ("a", "b")


def _side_names(prep, rows: np.ndarray) -> dict[str, pd.Categorical]:
    """``side`` ("a" or "b") and ``feature`` of rows of a matrix stacked from two sets (a feature on both
    sides has a row on each)."""
    side = pd.Categorical.from_codes((rows >= prep.sides.count_a).astype(np.int8), categories=list(SIDES))
    names = prep.features.unique()
    return {"side": side, "feature": pd.Categorical.from_codes(names.get_indexer(prep.features[rows]),
                                                                dtype=feature_dtype(names))}


def _cycles(columns: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """The ``cycles`` column of an adaptive run (the permutation cycles each row ran), else none."""
    return {"cycles": columns["cycles"]} if "cycles" in columns else {}


def ztest_rows(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The z-test rows of native z-test columns, without q-values.

    ``prep`` is the analysis' :class:`~corrshift.api.Prepared` inputs. A
    row whose correlation is undefined in a group has NaN from ``z_diff``
    on. ``class`` is each pair's class of change at ``prep.class_alpha``
    (:func:`corrshift.classes.change_classes`). The engine's columns join
    the table as they are: float32, as computed, not widened copies.
    """
    return _ztest_frame(prep, columns, qvalues=False, release=False)


def score_rows(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score rows of native score columns, without q-values (NaN rows for undefined scores)."""
    return _score_frame(prep, columns, qvalues=False, release=False)


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
    q["q_permutation"] = (bh_qvalues(p) if columns is None or "cycles" in table.columns
                          else permutation_qvalues(columns["extreme"], columns["valid"], p))
    return _cycles_last(pd.concat([table, _frame(q).set_axis(table.index)], axis=1))


def add_permutation_qvalues(table: pd.DataFrame, tally: PValueTally) -> pd.DataFrame:
    """Add ``q_permutation`` for some rows of an analysis, adjusted over all its tested rows.

    ``tally`` holds the permutation p-values of every tested row of the
    analysis, kept or not.
    """
    table["q_permutation"] = tally.qvalues(table["p_permutation"].to_numpy())
    return _cycles_last(table)


def _cycles_last(table: pd.DataFrame) -> pd.DataFrame:
    """An adaptive run's ``cycles`` after the q-values, where a table built at once has it."""
    if "cycles" not in table.columns or table.columns[-1] == "cycles":
        return table
    return table[[c for c in table.columns if c != "cycles"] + ["cycles"]]


def ztest_table(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The z-test table of native z-test columns, which it takes over: the counts and positions leave
    ``columns`` once read, so that a whole table's build holds little beyond the table itself."""
    return _ztest_frame(prep, columns, qvalues=True, release=True)


def unit_table(names, pairs: np.ndarray, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score table of units of pairs (gene sets): ``set``, the number of ``pairs`` it scores, and its
    ``score``, ``p_permutation`` and ``q_permutation``."""
    return add_qvalues(pd.DataFrame({
        "set": list(names),
        "pairs": pairs,
        "score": columns["score"],
        "p_permutation": column_pvalues(columns),
    })).assign(**_cycles(columns))


def score_table(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The score table of native score columns, which it takes over (as :func:`ztest_table` does)."""
    return _score_frame(prep, columns, qvalues=True, release=True)


def groups_table(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The table of the test across k groups from its native columns (:func:`corrshift.native.ztest_groups`),
    which it takes over.

    ``prep`` is the analysis' :class:`~corrshift.kgroups.GroupsPrepared`
    inputs; ``columns`` may hold ``first`` and ``second`` (given pairs). The
    columns: the pair, one correlation per group (``r_<label>``), ``class``
    (:func:`corrshift.classes.group_classes`), ``chi2`` (Q), ``p_normal``
    (the chi-square upper tail of Q with k - 1 degrees of freedom),
    ``p_permutation`` and the q-values; then with contrasts ``z_<a>_<b>``
    and ``p_<a>_<b>`` for each pair of groups a before b.
    """
    return _groups_frame(prep, columns, qvalues=True, release=True)


def groups_rows(prep, columns: dict[str, np.ndarray]) -> pd.DataFrame:
    """The rows of the test across groups of native columns (a chunk's), without q-values."""
    return _groups_frame(prep, columns, qvalues=False, release=False)


def _groups_frame(prep, columns: dict[str, np.ndarray], qvalues: bool, release: bool) -> pd.DataFrame:
    corr = [columns[f"r{g}"] for g in range(len(prep.labels))]
    pvalues = pvalue_columns(columns, qvalues, release)
    feature_a, feature_b = _pair_names(prep, columns, release)
    frame = {"feature_a": feature_a, "feature_b": feature_b}
    frame.update({f"r_{label}": r for label, r in zip(prep.labels, corr)})
    frame.update({"class": group_classes(np.array(corr), prep.sizes, prep.class_alpha), "chi2": columns["chi2"],
                  "p_normal": columns["p_normal"], **pvalues})
    if "contrast_z" in columns:
        found = zip(prep.contrasts(), columns["contrast_z"], columns["contrast_extreme"], columns["contrast_valid"])
        for (a, b), z, extreme, valid in found:
            frame[f"z_{a}_{b}"] = z
            frame[f"p_{a}_{b}"] = permutation_pvalues(extreme, valid, z)
    return _frame({**frame, **_cycles(columns)})
