"""``corrshift.ztest`` and ``corrshift.score``: tables from the native pipelines."""

from __future__ import annotations

import dataclasses

import numpy as np
import pandas as pd

import pipelines

from .groups import Groups, resolve_groups
from .inputs import DataTable, as_table, feature_matrix
from .messages import few, warn
from .names import positions
from .options import (AGGREGATES, ALTERNATIVES, METHODS, check_choice, check_permutations,
                      check_threads)
from .pairs import pair_positions
from .significance import testable_rows, warn_if_unreachable
from .chunked_api import chunking_options, score_chunks, ztest_chunks
from .stdout import native_output
from .tables import score_table, ztest_table


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
            warn(f"{len(names)} feature{'s are' if len(names) > 1 else ' is'} constant within "
                 f"{name!r}, where correlations with {'them' if len(names) > 1 else 'it'} are "
                 f"undefined: {few(names)}; {consequence}")


def _attrs(test: str, prep: Prepared, **options) -> dict:
    return {"test": test, "group1": prep.groups.names[0], "group2": prep.groups.names[1],
            "n1": len(prep.group1), "n2": len(prep.group2), "features": len(prep.features), **options}


def ztest(data, group1=None, group2=None, *, groupby=None, groups=None, pairs=None, method="pearson",
          alternative="two-sided", permutations=1000, threads=None, progress=True, center=True,
          layer=None, chunk_pairs=None, client=None, top=None, max_p=None, out=None) -> pd.DataFrame | None:
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
        in the index), an AnnData (cells x genes; ``.X`` or ``layer``) or
        an AnnData's ``.raw`` (with the genes of ``.raw``).
    group1, group2 : array_like, optional
        The samples of each group: integer positions, sample names, or a
        boolean mask over the samples. Omit them when ``groupby`` is given.
        Integers are positions, except where the sample names are integers
        (see Notes).
    groupby : str, Series or array_like, optional
        One label per sample: the name of an AnnData ``.obs`` column, a
        Series matched to the samples by its index (samples it does not
        name belong to no group; rows may come in any order), or a list or
        array in sample order. A Series whose index shares no name with the
        samples, or has the default index 0, 1, 2, ... while the samples
        have names, is an error: its labels would be matched by row number.
    groups : tuple of two labels, optional
        The labels of group 1 and group 2 in ``groupby``.
    pairs : sequence of tuples or DataFrame, optional
        Pairs to test, as (name, name) or (position, position) tuples, an
        (N, 2) array or a two-column DataFrame; rows keep this order. All
        pairs (a, b) with a before b in the data when omitted. Integers are
        positions, except where the feature names are integers (see Notes).
    method : {"pearson", "spearman"}
        Correlation of the values, or of their ranks within each group
        (tied values get distinct ranks in their order).
    alternative : {"two-sided", "greater", "less"}
        "greater" asks whether the correlation is higher in group 1.
    permutations : int
        Number of permutations m (0 to 2**24). Larger m gives finer
        permutation p-values and takes proportionally longer. Over N tested
        pairs a single pair can reach ``q_permutation`` <= 0.05 only when m
        >= N / 0.05 - 1; a warning says so when m is smaller.
    threads : int, optional
        Worker threads; all CPUs this process may use when None.
    progress : bool
        Show the native progress line on standard output (in chunks: a line
        counting the chunks done).
    center : bool
        For "pearson", subtract each feature's mean over the analysed
        samples in float64 before the float32 conversion. The native
        one-pass float32 moments lose digits when a feature's mean is large
        against its spread; centring keeps them and does not change the
        correlations otherwise. False gives the raw native numbers.
    layer : str, optional
        AnnData layer to use instead of ``.X``.
    chunk_pairs : int, optional
        Compute the pairs in chunks of about this many, one native call per
        chunk, so that memory holds one chunk's pairs at a time instead of
        all pairs (a native call holds tens of bytes per pair). All
        pairs: chunks are blocks of first features (at least one feature's
        pairs each). Chunked results are bit for bit those of one call.
        Any of ``client``, ``top``, ``max_p`` and ``out`` also runs in
        chunks, of a size chosen from the sample and permutation counts
        unless given here.
    client : dask.distributed.Client, optional
        Run the chunks as tasks on this Dask cluster (the data matrix is
        sent to each worker once); by default they run one after another
        in this process. Each task holds its worker's interpreter lock while
        it runs, so keep chunks well under the scheduler's worker timeout.
        ``threads=None`` then gives each task its worker's thread count.
    top : int, optional
        Keep only the ``top`` best rows, best first (the order of
        :func:`corrshift.ranking.ranked`), reduced chunk by chunk so that memory
        stays bounded by the chunk size and ``top``.
    max_p : float, optional
        Keep only the tested rows whose ``p_permutation`` is at most
        ``max_p``, in their usual order, reduced chunk by chunk.
    out : str or path-like, optional
        Write every row (those under ``max_p`` with it) to this folder as a
        Parquet dataset, one file per chunk (``part-<chunk>.parquet``; in
        name order they hold the rows in the usual order), instead of
        returning them. The folder must be empty or not exist yet; the
        dataset is built in a hidden folder beside it and renamed to
        ``out`` only when complete, so an interrupted run leaves no partial
        dataset. The files have no q-values (they need every p-value at
        once). Needs pyarrow.

    Returns
    -------
    DataFrame or None
        One row per pair, in the order of ``pairs`` (all pairs: (0, 1),
        (0, 2), ...), with the columns

        - ``feature_a``, ``feature_b``: the pair;
        - ``r1``, ``r2``: the correlation in group 1 and in group 2 (NaN
          where a feature is constant within the group);
        - ``z_diff``: atanh r1 - atanh r2, each r clamped to
          [-0.99, 0.99];
        - ``p_normal``: p-value of ``z_diff`` from the normal
          approximation, standard error sqrt(1/(n1 - 3) + 1/(n2 - 3))
          (times sqrt(1.5) for "spearman");
        - ``p_permutation``: (b + 1) / (m + 1), b of the m permutations
          giving a ``z_diff`` at least as extreme (see Notes);
        - ``q_normal``, ``q_permutation``: the Benjamini-Hochberg q-values
          of the two p-values, over the tested pairs.

        ``attrs`` records the group names and sizes and the options, and
        ``rows``, the number of rows of the full table.
        With ``top`` or ``max_p`` there is no ``q_normal`` (it would need
        every normal p-value at once); ``q_permutation`` is still adjusted
        over all tested pairs, kept or not. None with ``out``.

    Raises
    ------
    ValueError
        For data, groups, pairs or options that cannot be used; the message
        says which and why.

    Warns
    -----
    CorrshiftWarning
        (a UserWarning) When a group has fewer than 4 samples, a feature is
        constant within a group, or the permutation count is too small for
        a single pair to reach a ``q_permutation`` of 0.05.

    Notes
    -----
    ``p_permutation`` is (b + 1) / (m + 1), b being the number of
    permutations whose statistic is at least as extreme as the observed
    one: the observed statistic counts as one of the permutations, so no
    p-value is 0 and the smallest possible one is 1 / (m + 1).

    Integers in ``group1``, ``group2`` and ``pairs`` are positions (as with
    ``.iloc``) where the names are strings or the axis is unnamed (a numpy
    array, or names that are just 0, 1, 2, ...). Where the sample or feature
    names are integers (for example a DataFrame indexed by gene IDs 101,
    102, ...), integers are names (as with ``.loc``), and an integer that is
    no name is an error, never taken for a position; give positions there as
    ``data.index[positions]`` or ``data.columns[positions]``.

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
    chunking = chunking_options(chunk_pairs, client, top, max_p, out)
    threads = _threads(threads, chunking)
    prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                   center=center)
    k = prep.matrix.shape[0]
    if pairs is None:
        involved = np.arange(k if k > 1 else 0)
        first = second = None
    else:
        first, second = pair_positions(pairs, prep.features)
        involved = np.union1d(first, second)
    _warn_constant(prep, involved, "their pairs' rows are NaN")
    warn_if_unreachable(testable_rows("ztest", prep.constant1 | prep.constant2, first, second), permutations,
                        "pairs")
    options = dict(method=method, alternative=alternative, permutations=permutations)
    if chunking is not None:
        table, run = ztest_chunks(prep, None if pairs is None else (first, second), threads=threads,
                                  progress=progress, chunking=chunking, **options)
        return _finish(table, "ztest", prep, run.rows, chunking, **options)
    if pairs is None:
        first, second = (a.astype(np.int32) for a in np.triu_indices(k, 1))
        with native_output(progress):
            native = pipelines._ztest_pipeline_exhaustive(prep.matrix, prep.group1, prep.group2, method,
                                                          alternative, permutations, threads)
    else:
        with native_output(progress):
            native = pipelines._ztest_pipeline_indexed(prep.matrix, first, second, prep.group1, prep.group2,
                                                       method, alternative, permutations, threads)
    table = ztest_table(prep, first, second, native, permutations)
    return _finish(table, "ztest", prep, len(table), chunking, **options)


def _threads(threads, chunking) -> int | None:
    # On a Dask cluster, None lets every task use its own worker's threads.
    if threads is None and chunking is not None and chunking.client is not None:
        return None
    return check_threads(threads)


def _finish(table, test: str, prep: Prepared, rows: int, chunking, **options) -> pd.DataFrame | None:
    """Record the analysis in the table's ``attrs``."""
    if table is None:
        return None
    bounds = {} if chunking is None else {"top": chunking.top, "max_p": chunking.max_p}
    table.attrs = _attrs(test, prep, rows=rows, **options, **{k: v for k, v in bounds.items() if v is not None})
    return table


def score(data, group1=None, group2=None, *, groupby=None, groups=None, pairs=None, aggregate="mean",
          method="pearson", alternative="two-sided", permutations=1000, threads=None, progress=True,
          center=True, layer=None, chunk_pairs=None, client=None, top=None, max_p=None,
          out=None) -> pd.DataFrame | None:
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
    chunk_pairs, client, top, max_p, out
        As in :func:`ztest`. The chunks hold whole features: all pairs of a
        feature (or all given pairs that start with it) in one chunk.

    Returns
    -------
    DataFrame or None
        One row per feature (in data order), or per first feature of the
        given pairs (in data order), with the columns

        - ``feature``: the feature;
        - ``score``: the aggregate of its pairs' z_diff (see
          ``aggregate``);
        - ``p_permutation``: (b + 1) / (m + 1), b of the m permutations
          giving a score at least as extreme;
        - ``q_permutation``: its Benjamini-Hochberg q-value, adjusted over
          all tested features (also with ``top`` or ``max_p``).

        ``attrs`` records the group names and sizes and the options. None
        with ``out``.

    Raises
    ------
    ValueError
        For data, groups, pairs or options that cannot be used.

    Warns
    -----
    CorrshiftWarning
        (a UserWarning) When a group has fewer than 4 samples, a feature is
        constant within a group, or the permutation count is too small for
        a single feature to reach a ``q_permutation`` of 0.05.

    Notes
    -----
    ``p_permutation`` is (b + 1) / (m + 1), b being the number of
    permutations whose score is at least as extreme as the observed one, so
    no p-value is 0. Integers in the groups and pairs are names where the
    names are integers, positions otherwise (see :func:`ztest`). A feature constant within a group has an undefined
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
    chunking = chunking_options(chunk_pairs, client, top, max_p, out)
    threads = _threads(threads, chunking)
    prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                   center=center)
    k = prep.matrix.shape[0]
    if pairs is None:
        involved = np.arange(k)
    else:
        first, second = pair_positions(pairs, prep.features)
        order = np.argsort(first, kind="stable")
        first, second = first[order], second[order]
        involved = np.union1d(first, second)
    _warn_constant(prep, involved, "their scores are NaN, and other scores include their pairs: "
                                   "remove them from the data for clean scores")
    warn_if_unreachable(testable_rows("score", prep.constant1 | prep.constant2, None if pairs is None else first),
                        permutations, "features")
    options = dict(method=method, aggregate=aggregate, alternative=alternative, permutations=permutations)
    if chunking is not None:
        table, run = score_chunks(prep, None if pairs is None else (first, second), threads=threads,
                                  progress=progress, chunking=chunking, **options)
        return _finish(table, "score", prep, run.rows, chunking, **options)
    if pairs is None:
        with native_output(progress):
            scores, p_native = pipelines._score_pipeline_exhaustive(
                prep.matrix, prep.group1, prep.group2, method, aggregate, alternative, permutations, threads)
        rows = involved
    else:
        with native_output(progress):
            rows, scores, p_native = pipelines._score_pipeline_indexed(
                prep.matrix, first, second, prep.group1, prep.group2, method, aggregate, alternative,
                permutations, threads)
    table = score_table(prep, rows, scores, p_native, permutations)
    return _finish(table, "score", prep, len(table), chunking, **options)
