"""``corrshift.ztest`` and ``corrshift.score``: tables from the native pipelines."""

from __future__ import annotations

import dataclasses
import warnings

import numpy as np
import pandas as pd

import pipelines

from .groups import Groups, resolve_groups
from .inputs import DataTable, as_table, feature_matrix
from .messages import PACKAGE_DIR, few
from .names import positions
from .options import (AGGREGATES, ALTERNATIVES, METHODS, check_choice, check_permutations,
                      check_threads)
from .pairs import pair_positions
from .pvalues import bh_qvalues, permutation_pvalues
from .stdout import native_output

#: The native mark of a correlation that is undefined (a feature without
#: variance over a group's samples).
UNDEFINED = -2.0

ZTEST_COLUMNS = ("feature_a", "feature_b", "r1", "r2", "z_diff", "p_normal", "p_permutation",
                 "q_normal", "q_permutation")
SCORE_COLUMNS = ("feature", "score", "p_permutation", "q_permutation")


@dataclasses.dataclass(frozen=True)
class Prepared:
    """Native inputs for one analysis.

    ``matrix`` holds only the analysed samples, group 1's columns first: the
    native permutations deal from every column they see, so samples of
    neither group must not be there.
    """

    matrix: np.ndarray
    group1: np.ndarray
    group2: np.ndarray
    features: pd.Index
    groups: Groups
    constant1: np.ndarray
    constant2: np.ndarray
    table: DataTable


def prepare(data, group1, group2, *, groupby=None, groups=None, layer=None, method="pearson",
            center=True, features=None) -> Prepared:
    """Check the data and groups and build the native feature matrix.

    Parameters are those of :func:`ztest`; ``features`` (names or positions)
    keeps only those rows. Pearson data are centred per feature (see
    :func:`corrshift.inputs.feature_matrix`) unless ``center`` is false;
    Spearman data are passed as they are, since ranks do not need it.
    """
    method = check_choice(method, METHODS, "method")
    table: DataTable = as_table(data, layer)
    if len(table.features) == 0:
        raise ValueError("data has no features (rows)")
    resolved = resolve_groups(table, group1, group2, groupby, groups)
    columns = np.concatenate([resolved.first, resolved.second])
    rows = None if features is None else positions(features, table.features, "features", "feature")
    matrix = feature_matrix(table, columns, center=bool(center) and method == "pearson", rows=rows)
    n1 = len(resolved.first)
    g1 = np.arange(n1, dtype=np.int32)
    g2 = np.arange(n1, len(columns), dtype=np.int32)
    names = table.features if rows is None else table.features[rows]
    return Prepared(matrix, g1, g2, names, resolved,
                    _constant_rows(matrix[:, :n1]), _constant_rows(matrix[:, n1:]), table)


def _constant_rows(block: np.ndarray) -> np.ndarray:
    return (block == block[:, :1]).all(axis=1)


def _warn_constant(prep: Prepared, involved: np.ndarray, consequence: str) -> None:
    for constant, name in ((prep.constant1, prep.groups.names[0]), (prep.constant2, prep.groups.names[1])):
        rows = np.flatnonzero(constant[involved]) if len(involved) else np.zeros(0, dtype=np.int64)
        if len(rows):
            names = prep.features[np.unique(involved[rows])]
            warnings.warn(f"{len(names)} feature{'s are' if len(names) > 1 else ' is'} constant within "
                          f"{name!r}, where correlations with {'them' if len(names) > 1 else 'it'} are "
                          f"undefined: {few(names)}; {consequence}", UserWarning,
                          skip_file_prefixes=(PACKAGE_DIR,))


def _attrs(test: str, prep: Prepared, **options) -> dict:
    return {"test": test, "group1": prep.groups.names[0], "group2": prep.groups.names[1],
            "n1": len(prep.group1), "n2": len(prep.group2), "features": len(prep.features), **options}


def ztest(data, group1=None, group2=None, *, groupby=None, groups=None, pairs=None, method="pearson",
          alternative="two-sided", permutations=1000, threads=None, progress=True, center=True,
          layer=None) -> pd.DataFrame:
    """Test which feature pairs change their correlation between two groups of samples.

    For every pair of features (or every given pair) the correlation is
    computed in each group, the two are compared by the difference of their
    Fisher transforms, and that difference is tested with the normal
    approximation and with a permutation test that deals the samples of the
    two groups anew into groups of the same sizes.

    Parameters
    ----------
    data : ndarray, DataFrame or AnnData
        A 2-D numpy array or scipy sparse matrix (features x samples), a
        pandas DataFrame (rows = features, columns = samples, feature names
        in the index) or an AnnData (cells x genes; ``.X`` or ``layer``).
    group1, group2 : array_like, optional
        The samples of each group: integer positions, sample names, or a
        boolean mask over the samples. Omit them when ``groupby`` is given.
    groupby : str, Series or array_like, optional
        One label per sample: the name of an AnnData ``.obs`` column, a
        Series indexed by sample name (samples it does not name belong to no
        group), or a sequence in sample order.
    groups : tuple of two labels, optional
        The labels of group 1 and group 2 in ``groupby``.
    pairs : sequence of tuples or DataFrame, optional
        Pairs to test, as (name, name) or (position, position) tuples, an
        (N, 2) array or a two-column DataFrame; rows keep this order. All
        pairs (a, b) with a before b in the data when omitted.
    method : {"pearson", "spearman"}
        Correlation of the values, or of their ranks within each group
        (tied values get distinct ranks in their order).
    alternative : {"two-sided", "greater", "less"}
        "greater" asks whether the correlation is higher in group 1.
    permutations : int
        Number of permutations m (0 to 2**24). Larger m gives finer
        permutation p-values and takes proportionally longer.
    threads : int, optional
        Worker threads; all CPUs this process may use when None.
    progress : bool
        Show the native progress line on standard output.
    center : bool
        For "pearson", subtract each feature's mean over the analysed
        samples in float64 before the float32 conversion. The native
        one-pass float32 moments lose digits when a feature's mean is large
        against its spread; centring keeps them and does not change the
        correlations otherwise. False gives the raw native numbers.
    layer : str, optional
        AnnData layer to use instead of ``.X``.

    Returns
    -------
    DataFrame
        One row per pair with columns ``feature_a``, ``feature_b``, ``r1``
        and ``r2`` (the correlation in group 1 and group 2), ``z_diff``
        (atanh r1 - atanh r2, each r clamped to [-0.99, 0.99]),
        ``p_normal`` (normal approximation), ``p_permutation`` and the
        Benjamini-Hochberg q-values ``q_normal`` and ``q_permutation``.
        ``attrs`` records the group names and sizes and the options.

    Raises
    ------
    ValueError
        For data, groups, pairs or options that cannot be used; the message
        says which and why.

    Warns
    -----
    UserWarning
        When a group has fewer than 4 samples, or a feature is constant
        within a group.

    Notes
    -----
    ``p_permutation`` is (b + 1) / (m + 1), b being the number of
    permutations whose statistic is at least as extreme as the observed
    one: the observed statistic counts as one of the permutations, so no
    p-value is 0 and the smallest possible one is 1 / (m + 1).

    A correlation is undefined when a feature is constant within a group;
    it is NaN in ``r1``/``r2``, and the row's ``z_diff``, p- and q-values
    are NaN. Such rows are left out of the q-value adjustment.

    Only the two groups' samples enter the computation, also in the
    permutations. Results are reproducible: the permutations are seeded
    with a fixed seed and do not depend on ``threads``.

    Examples
    --------
    >>> import numpy as np, corrshift
    >>> x = np.random.default_rng(0).normal(size=(5, 40))
    >>> res = corrshift.ztest(x, range(20), range(20, 40), permutations=99, progress=False)
    >>> list(res.columns)[:4]
    ['feature_a', 'feature_b', 'r1', 'r2']
    """
    alternative = check_choice(alternative, ALTERNATIVES, "alternative")
    permutations = check_permutations(permutations)
    threads = check_threads(threads)
    prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                   center=center)
    k = prep.matrix.shape[0]
    if pairs is None:
        first, second = (a.astype(np.int32) for a in np.triu_indices(k, 1))
        with native_output(progress):
            native = pipelines._ztest_pipeline_exhaustive(prep.matrix, prep.group1, prep.group2, method,
                                                          alternative, permutations, threads)
    else:
        first, second = pair_positions(pairs, prep.features)
        with native_output(progress):
            native = pipelines._ztest_pipeline_indexed(prep.matrix, first, second, prep.group1, prep.group2,
                                                       method, alternative, permutations, threads)
    _warn_constant(prep, np.union1d(first, second), "their pairs' rows are NaN")
    table = ztest_table(prep, first, second, native, permutations)
    table.attrs = _attrs("ztest", prep, method=method, alternative=alternative, permutations=permutations)
    return table


def ztest_table(prep: Prepared, first: np.ndarray, second: np.ndarray, native, permutations: int) -> pd.DataFrame:
    """The z-test table from the native arrays of the pairs (first, second)."""
    r1, r2, z_diff, p_normal, p_native = (np.asarray(a, dtype=np.float64) for a in native)
    undefined1 = (r1 == UNDEFINED) | prep.constant1[first] | prep.constant1[second]
    undefined2 = (r2 == UNDEFINED) | prep.constant2[first] | prep.constant2[second]
    r1[undefined1] = np.nan
    r2[undefined2] = np.nan
    tested = ~(undefined1 | undefined2) & np.isfinite(z_diff)
    p_permutation = permutation_pvalues(p_native, permutations)
    for column in (z_diff, p_normal, p_permutation):
        column[~tested] = np.nan
    return pd.DataFrame({
        "feature_a": prep.features[first].to_numpy(),
        "feature_b": prep.features[second].to_numpy(),
        "r1": r1, "r2": r2, "z_diff": z_diff,
        "p_normal": p_normal, "p_permutation": p_permutation,
        "q_normal": bh_qvalues(p_normal, tested),
        "q_permutation": bh_qvalues(p_permutation, tested),
    })


def score(data, group1=None, group2=None, *, groupby=None, groups=None, pairs=None, aggregate="mean",
          method="pearson", alternative="two-sided", permutations=1000, threads=None, progress=True,
          center=True, layer=None) -> pd.DataFrame:
    """Score each feature by how much its correlations change between two groups.

    A feature's score aggregates the Fisher differences z_diff of its pairs
    (see :func:`ztest`): with all other features, or with the given pairs
    whose first feature it is. A permutation test that deals the samples of
    the two groups anew gives each score a p-value.

    Parameters
    ----------
    data, group1, group2, groupby, groups, method, permutations, threads, progress, center, layer
        As in :func:`ztest`.
    pairs : sequence of tuples or DataFrame, optional
        Pairs to score, as in :func:`ztest`. Each pair counts for its
        first feature; pairs may come in any order (they are sorted by
        first feature before the native call, so none is left out). All
        pairs of every feature when omitted.
    aggregate : {"mean", "median"}
        "mean": the mean of |z_diff| over the feature's pairs, for every
        alternative. "median": the median of |z_diff| for "two-sided" and
        of the signed z_diff for "greater" and "less" (for an even count,
        the upper of the two middle values).
    alternative : {"two-sided", "greater", "less"}
        Which permuted scores count as at least as extreme: larger in
        magnitude, larger, or smaller.

    Returns
    -------
    DataFrame
        One row per feature (in data order), or per first feature of the
        given pairs (in data order), with columns ``feature``, ``score``,
        ``p_permutation`` and its Benjamini-Hochberg q-value
        ``q_permutation``. ``attrs`` records the group names and sizes and
        the options.

    Raises
    ------
    ValueError
        For data, groups, pairs or options that cannot be used.

    Warns
    -----
    UserWarning
        When a group has fewer than 4 samples, or a feature is constant
        within a group.

    Notes
    -----
    ``p_permutation`` is (b + 1) / (m + 1), b being the number of
    permutations whose score is at least as extreme as the observed one, so
    no p-value is 0. A feature constant within a group has an undefined
    score (NaN, left out of the q-values); the scores of other features
    still include their pairs with it, so such features are best removed.

    Examples
    --------
    >>> import numpy as np, corrshift
    >>> x = np.random.default_rng(0).normal(size=(5, 40))
    >>> res = corrshift.score(x, range(20), range(20, 40), permutations=99, progress=False)
    >>> list(res.columns)
    ['feature', 'score', 'p_permutation', 'q_permutation']
    """
    aggregate = check_choice(aggregate, AGGREGATES, "aggregate")
    alternative = check_choice(alternative, ALTERNATIVES, "alternative")
    permutations = check_permutations(permutations)
    threads = check_threads(threads)
    prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                   center=center)
    k = prep.matrix.shape[0]
    if pairs is None:
        involved = np.arange(k)
        with native_output(progress):
            scores, p_native = pipelines._score_pipeline_exhaustive(
                prep.matrix, prep.group1, prep.group2, method, aggregate, alternative, permutations, threads)
        rows = involved
    else:
        first, second = pair_positions(pairs, prep.features)
        order = np.argsort(first, kind="stable")
        first, second = first[order], second[order]
        involved = np.union1d(first, second)
        with native_output(progress):
            rows, scores, p_native = pipelines._score_pipeline_indexed(
                prep.matrix, first, second, prep.group1, prep.group2, method, aggregate, alternative,
                permutations, threads)
    _warn_constant(prep, involved, "their scores are NaN, and other scores include their pairs: "
                                   "remove them from the data for clean scores")
    scores = np.asarray(scores, dtype=np.float64)
    tested = ~(prep.constant1[rows] | prep.constant2[rows]) & np.isfinite(scores)
    p_permutation = permutation_pvalues(p_native, permutations)
    scores[~tested] = np.nan
    p_permutation[~tested] = np.nan
    table = pd.DataFrame({
        "feature": prep.features[rows].to_numpy(),
        "score": scores,
        "p_permutation": p_permutation,
        "q_permutation": bh_qvalues(p_permutation, tested),
    })
    table.attrs = _attrs("score", prep, method=method, aggregate=aggregate, alternative=alternative,
                         permutations=permutations)
    return table
