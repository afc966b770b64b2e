"""``corrshift.ztest`` and ``corrshift.score``: tables from the native engine."""

from __future__ import annotations

import dataclasses
import math
import types

import numpy as np
import pandas as pd

from . import columns, native
from .analyses import SCORE, ZTEST, Analysis
from .between import check_between, check_data, other_values, sided_rows, stacked_sides
from .anndata_io import store_result
from .design import canonical_columns, permutation_cycles, warn_design
from .files import output_target, write_table
from .groups import Groups, SampleOptions, resolve_groups, sample_labels
from .kgroups import many_groups, score_groups, ztest_groups
from .inputs import DataTable, analysed_data, analysed_values, as_table, is_anndata, is_anndata_raw
from .memory import warn_if_large_ztest
from .messages import CorrshiftFutureWarning, few, warn
from .names import positions
from .adaptive import MOST_PERMUTATIONS, Adaptive, default_max_permutations
from .adaptive_runs import score_auto, set_auto, ztest_auto
from .options import (AGGREGATES, ALTERNATIVES, AUTO, MAX_PERMUTATIONS, METHODS, check_adaptive, check_choice,
                      check_max_p, check_min_cells, check_permutations, check_probability, check_seed,
                      check_threads)
from .pairs import pair_positions, rectangle_pairs
from .ranking import ranked
from .significance import testable_rows, warn_if_unreachable
from .chunked_runs import Chunking, chunking_options, score_chunks, ztest_chunks
from .standardise import observed_counts, standardise_groups
from .sets import unit_pairs
from .tables import score_table, unit_table, ztest_table


@dataclasses.dataclass(frozen=True)
class Prepared(SampleOptions):
    """Native inputs for one analysis.

    ``matrix`` holds only the analysed samples, group 1's columns first: the
    native permutations deal from every column they see, so samples of
    neither group must not be there. Its rows are the analysed features
    (``features``, at positions ``rows`` of the data), each standardised
    within each group (:mod:`corrshift.standardise`); ``constant`` and
    ``missing`` mark, per group, the features whose correlations are
    undefined there. ``filtered`` names the features left out by
    ``min_cells``.
    """

    matrix: np.ndarray
    group1: np.ndarray
    group2: np.ndarray
    features: pd.Index
    rows: np.ndarray
    groups: Groups
    constant: tuple[np.ndarray, np.ndarray]
    missing: tuple[np.ndarray, np.ndarray]
    table: DataTable
    @property
    def across(self) -> dict:
        """The native keywords of the rectangle between the two sets (none without them)."""
        if self.sides is None:
            return {}
        return {"between": self.sides.count_a, "same": self.sides.same}

    def rectangle(self) -> tuple[np.ndarray, np.ndarray]:
        """The pairs of the rectangle between the two sets, as listed pairs of ``matrix``."""
        return rectangle_pairs(self.sides.count_a, self.sides.count_b, self.sides.same)

    @property
    def undefined(self) -> np.ndarray:
        """Features whose correlations are undefined in a group (constant there, or with a NaN)."""
        return self.constant[0] | self.constant[1] | self.missing[0] | self.missing[1]

    def pair_positions(self, pairs) -> tuple[np.ndarray, np.ndarray]:
        """Matrix rows (int32) of the given pairs, in order; pairs of left-out features are dropped."""
        return matrix_pair_positions(self, pairs)


def matrix_pair_positions(prep, pairs) -> tuple[np.ndarray, np.ndarray]:
    """Matrix rows (int32) of the given pairs of a prepared analysis (its ``table``, analysed ``rows`` and
    ``min_cells``), in order; pairs of left-out features are dropped."""
    first, second = pair_positions(pairs, prep.table.features)
    where = np.full(len(prep.table.features), -1, dtype=np.int64)
    where[prep.rows] = np.arange(len(prep.rows))
    first, second = where[first], where[second]
    kept = (first >= 0) & (second >= 0)
    if not kept.any():
        raise ValueError(f"min_cells={prep.min_cells!r} leaves out a feature of every given pair")
    return first[kept].astype(np.int32), second[kept].astype(np.int32)


def prepare(data, group1, group2, *, groupby=None, groups=None, layer=None, method="pearson",
            features=None, min_cells=None, strata=None, between=None, other=None, other_layer=None) -> Prepared:
    """Check the data and groups and build the native feature matrix.

    Parameters are those of :func:`ztest`; ``features`` (names or positions)
    keeps only those rows, and ``min_cells`` leaves out the features
    observed in too few samples of a group. Each feature is standardised
    within each group (see :mod:`corrshift.standardise`). With ``between``
    or ``other`` the matrix holds the rows of set A, then those of set B
    (:mod:`corrshift.between`), prepared with every feature of ``data``
    and ``other`` as one matrix.
    """
    method = check_choice(method, METHODS, "method")
    min_cells = check_min_cells(min_cells)
    check_data(data)
    table: DataTable = as_table(data, layer)
    if len(table.features) == 0:
        raise ValueError("data has no features (rows)")
    resolved = resolve_groups(table, group1, group2, groupby, groups)
    columns = np.concatenate([resolved.first, resolved.second])
    extra = None if other is None else other_values(other, other_layer, table, columns)
    std, rows, filtered, codes, strata_names, names = grouped_matrix(
        table, (resolved.first, resolved.second), features, min_cells, strata, method, extra)
    n1, total = len(resolved.first), std.matrix.shape[1]
    g1 = np.arange(n1, dtype=np.int32)
    g2 = np.arange(n1, total, dtype=np.int32)
    prep = Prepared(std.matrix, g1, g2, names[rows], rows, resolved, std.constant, std.missing, table,
                    min_cells=min_cells, filtered=filtered, strata=codes, strata_names=strata_names)
    if between is None and other is None:
        return prep
    return _sided(prep, sided_rows(between, extra, names, len(table.features)), names)


def grouped_matrix(table: DataTable, found, features, min_cells, strata, method: str, extra: Other | None = None):
    """The native matrix of the groups ``found`` (each group's sample positions, in order): their columns
    group after group, each group's samples in an order of their own, every feature standardised within
    each group (:func:`corrshift.standardise.standardise_groups`).

    ``features`` (names or positions, or None for all) keeps only those
    rows, and ``min_cells`` leaves out the features observed in too few
    samples of a group. ``extra`` (the values of ``other`` for the same
    columns) adds its features after the data's. Returns the
    :class:`~corrshift.standardise.Standardised` matrix, the rows it holds
    (positions among the features' names), the left-out features' names,
    the stratum code of each of its columns, the strata's names (None and
    () without ``strata``) and the features' names (the data's, then
    ``other``'s).
    """
    sizes = [len(g) for g in found]
    columns = np.concatenate(found)
    rows = (np.arange(len(table.features)) if features is None
            else positions(features, table.features, "features", "feature"))
    values = analysed_values(table, columns, None if features is None else rows)
    names = table.features
    if extra is not None:
        values = np.vstack([values, extra.values])
        names = names.append(extra.features)
        rows = np.arange(len(names))
    filtered = pd.Index([])
    if min_cells is not None:
        _warn_if_not_counts(values, min_cells)
        enough = enough_observed(values, sizes, min_cells)
        if not enough.all():
            filtered = names[rows[~enough]]
            if not enough.any():
                raise ValueError(f"min_cells={min_cells!r} leaves no feature: none is observed (non-zero) in "
                                 f"{_share(min_cells)} of the samples of each group")
            values, rows = values[enough], rows[enough]
    codes, strata_names = sample_strata(table, columns, strata)
    # Each group's samples in an order of their own: results do not depend
    # on the order the samples were given in.
    bounds = np.concatenate([[0], np.cumsum(sizes)]).astype(int)
    order = np.concatenate([lo + canonical_columns(values[:, lo:hi], None if codes is None else codes[lo:hi])
                            for lo, hi in zip(bounds[:-1], bounds[1:])])
    values = values[:, order]
    codes = None if codes is None else np.ascontiguousarray(codes[order])
    return standardise_groups(values, sizes, method), rows, filtered, codes, strata_names, names


def _sided(prep: Prepared, sets: tuple[np.ndarray, np.ndarray], names: pd.Index) -> Prepared:
    """``prep`` cut to the rows of set A, then those of set B (``sets``: positions among ``names``)."""
    kept = np.full(len(names), -1, dtype=np.int64)
    kept[prep.rows] = np.arange(len(prep.rows))
    stacked, sides = stacked_sides(*sets, kept, names)
    return dataclasses.replace(prep, matrix=np.ascontiguousarray(prep.matrix[stacked]),
                               features=prep.features[stacked], rows=prep.rows[stacked],
                               constant=tuple(c[stacked] for c in prep.constant),
                               missing=tuple(m[stacked] for m in prep.missing), sides=sides)


def sample_strata(table: DataTable, columns: np.ndarray, strata) -> tuple[np.ndarray | None, tuple]:
    """The stratum number of each analysed column, and the strata's labels (None, () without strata)."""
    if strata is None:
        return None, ()
    labels = sample_labels(table, strata, "strata")[table.samples[columns]]
    missing = labels.isna().to_numpy()
    if missing.any():
        raise ValueError(f"strata gives no stratum to {missing.sum()} of the analysed samples: "
                         f"{few(labels.index[missing])}; every sample of the groups needs one")
    codes, names = pd.factorize(labels, sort=True)
    return codes.astype(np.int32), tuple(names)


def enough_observed(values: np.ndarray, sizes, min_cells) -> np.ndarray:
    """Features observed in at least ``min_cells`` (a count, or a share) of each group's samples; the
    columns of ``values`` are groups of ``sizes`` samples in turn."""
    counts = observed_counts(values, sizes)
    # A share is a count rounded up; rounded first, so that 0.07 of 100 samples is 7, not 8.
    needed = [math.ceil(round(min_cells * n, 9)) if isinstance(min_cells, float) else min_cells for n in sizes]
    return np.logical_and.reduce([c >= m for c, m in zip(counts, needed)])


#: Below this share of zeros among the analysed values, data look scaled rather than counted.
FEWEST_ZEROS = 0.01


def _warn_if_not_counts(values: np.ndarray, min_cells) -> None:
    """Warn when ``min_cells`` meets data where "non-zero" does not mean "observed": negative values, or
    (almost) no zeros, as in scaled or centred data, where it leaves out next to nothing."""
    if values.size == 0:
        return
    if (values < 0).any():
        why = "has negative values"
    else:
        zeros = np.count_nonzero(values == 0) / values.size
        if zeros >= FEWEST_ZEROS:
            return
        why = f"has almost no zeros ({zeros:.2%} of the analysed values)"
    warn(f"min_cells={min_cells!r} counts the samples where a feature is non-zero, but the data {why}, as "
         "scaled or centred data have: there, non-zero does not mean observed, and it leaves out (next to) "
         "nothing. Use it on counts or on data where 0 means not observed: an AnnData's .raw (use_raw=True, "
         "--use-raw) or a counts layer (layer=)")


def _share(min_cells) -> str:
    return f"{round(min_cells * 100, 6):g}%" if isinstance(min_cells, float) else f"{min_cells}"


def _warn_undefined(prep: Prepared, involved: np.ndarray, consequence: str) -> None:
    warn_undefined_groups(prep.features, prep.constant, prep.missing, prep.groups.names, involved, consequence)


def warn_undefined_groups(features: pd.Index, constant, missing, names, involved: np.ndarray,
                          consequence: str) -> None:
    """Warn, group by group (``names``), of the ``involved`` features constant or missing within the
    group (the per-group masks ``constant`` and ``missing``)."""
    for index, name in enumerate(names):
        for marked, state in ((constant[index], "constant within"),
                              (missing[index], "missing (NaN) in some samples of")):
            rows = involved[marked[involved]] if len(involved) else involved
            if len(rows):
                found = features[np.unique(rows)]
                many = len(found) > 1
                warn(f"{len(found)} feature{'s are' if many else ' is'} {state} {name!r}, "
                      f"where correlations with {'them' if many else 'it'} are undefined: {few(found)}; "
                      f"{consequence}")


def _warn_filtered(prep: Prepared, consequence: str) -> None:
    if len(prep.filtered):
        many = len(prep.filtered) > 1
        warn(f"min_cells={prep.min_cells!r} leaves out {len(prep.filtered)} feature{'s' if many else ''} "
              f"observed (non-zero) in fewer than {_share(prep.min_cells)} of the samples of "
              f"{prep.groups.names[0]!r} or of {prep.groups.names[1]!r}: {few(prep.filtered)}; {consequence}")


def _warn_center(center) -> None:
    if center is not None:
        warn("center= (--no-center) has no effect and will be removed: every feature is now "
             "standardised within each group before the native call", CorrshiftFutureWarning)


def _warn_small_group(prep: Prepared) -> None:
    for index, group in enumerate((prep.group1, prep.group2)):
        if len(group) <= native.FEWEST_FOR_NORMAL:
            warn(f"{prep.groups.label(index)} has {len(group)} samples: p_normal and q_normal are NaN (the "
                  "standard error 1/sqrt(n - 3) needs at least 4); the permutation test still runs")


def _attrs(analysis: Analysis, prep: Prepared, **options) -> dict:
    attrs = {"test": analysis.name, "group1": prep.groups.names[0], "group2": prep.groups.names[1],
             "n1": len(prep.group1), "n2": len(prep.group2), "features": len(prep.features), **options}
    if "seed" in attrs and attrs["seed"] is None:
        attrs["seed"] = native.DEFAULT_SEED  # the stream that ran: seed=None is the engine's default
    if prep.min_cells is not None:
        attrs.update(min_cells=prep.min_cells, filtered=list(prep.filtered), n_filtered=len(prep.filtered))
    if prep.strata is not None:
        attrs.update(strata=list(prep.strata_names))
    if prep.sides is not None:
        attrs.update(prep.sides.attrs())
    return attrs


@columns.documented("ztest")
def ztest(data, group1=None, group2=None, *, groupby=None, groups=None, pairs=None, method="pearson",
          alternative="two-sided", permutations=1000, threads=None, progress=None, min_cells=None,
          strata=None, class_alpha=0.05, layer=None, use_raw=False, chunk_pairs=None, client=None, top=None,
          max_p=None, out=None, key_added=None, seed=None, center=None, fdr=0.05,
          max_permutations=None, between=None, other=None, other_layer=None,
          contrasts=None) -> pd.DataFrame | None:
    """Test which feature pairs change their correlation between two groups of samples (or across more).

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
        an AnnData's ``.raw`` (with the genes of ``.raw``). NaN is a
        missing value: it makes the feature's correlations in that sample's
        group undefined (NaN).
    group1, group2 : array_like, optional
        The samples of each group: integer positions, sample names, or a
        boolean mask over the samples. Omit them when ``groupby`` is given.
        Each group needs at least 3 samples. Integers are positions, except
        where the sample names are integers (see Notes).
    groupby : str, Series or array_like, optional
        One label per sample: the name of an AnnData ``.obs`` column, a
        Series matched to the samples by its index (samples it does not
        name belong to no group, with a warning that names them; rows may
        come in any order), or a list or
        array in sample order. A Series whose index shares no name with the
        samples, or has the default index 0, 1, 2, ... while the samples
        have names, is an error: its labels would be matched by row number.
    groups : tuple of two labels, optional
        The labels of group 1 and group 2 in ``groupby``. Three labels or
        more run the test across groups instead (see Notes).
    pairs : sequence of tuples or DataFrame, optional
        Pairs to test, as (name, name) or (position, position) tuples, an
        (N, 2) array or a two-column DataFrame; rows keep this order. All
        pairs (a, b) with a before b in the data when omitted. Integers are
        positions, except where the feature names are integers (see Notes).
        Not with ``between`` or ``other``.
    between : tuple (A, B) of feature lists, optional
        Test every pair of a feature of A with a feature of B (regulators x
        targets) instead of all pairs: A and B as feature names,
        positions or boolean masks over the features, each feature once
        per list. Rows come A-major: (A[0], B[0]), (A[0], B[1]), ...;
        ``feature_a`` is from A, ``feature_b`` from B. A feature in both
        lists is not paired with itself (r = 1 by definition), and two
        features x, y both in A and in B give two rows, (x, y) and (y, x),
        as in any rectangle. With ``other``, A names features of ``data``
        and B features of ``other``. The rows are those of ``pairs`` listing
        the same pairs (``permutations``, ``seed`` and the chunk options
        alike), computed without listing them.
    other : ndarray, DataFrame or AnnData, optional
        A second matrix of the same samples (another modality, such as
        ATAC next to RNA): every pair of a feature of ``data`` (A) with a
        feature of ``other`` (B), as ``between`` with all features of each
        (or those ``between`` names). A DataFrame (features x samples) or an
        AnnData (cells x features) is matched to ``data`` by sample names
        (columns, ``obs_names``) when both have them, and must hold every
        sample of the two groups; otherwise (a numpy array, or ``data``
        without names) samples match by position and the counts must
        agree. ``groupby`` and ``strata`` come from ``data``. For a MuData,
        pass ``data=mdata["rna"], other=mdata["atac"]``. Feature names may
        repeat across the two: ``feature_a`` is always of ``data``,
        ``feature_b`` of ``other``. The two are prepared as one matrix
        (rows of ``data``, then of ``other``): the results are those of
        ``pairs`` over that matrix.
    other_layer : str, optional
        The layer of an AnnData ``other`` to use instead of its ``.X``
        (``layer`` applies to ``data``).
    method : {"pearson", "spearman"}
        Correlation of the values, or of their ranks within each group
        (Spearman's coefficient; tied values share their average rank).
    alternative : {"two-sided", "greater", "less"}
        "greater" asks whether the correlation is higher in group 1.
    permutations : int or "auto"
        Number of permutations m (0 to 2**24). Larger m gives finer
        permutation p-values and takes proportionally longer. Over N tested
        pairs a single pair can reach ``q_permutation`` <= 0.05 only when m
        >= N / 0.05 - 1; a warning says so when m is smaller. 0 runs no
        permutation test: ``p_permutation`` and ``q_permutation`` are NaN
        (the columns stay), the normal p-value ranks the rows (``top``,
        :func:`corrshift.ranking.ranked`), :func:`corrshift.network` uses
        ``q_normal``, and ``max_p`` is refused. "auto" runs each pair only
        until its Benjamini-Hochberg decision at ``fdr`` is settled (most
        pairs after a few dozen permutations, a strong one until it is
        significant), with an anytime-valid ``p_permutation`` and a column
        ``cycles`` (see Notes); in chunks (``chunk_pairs``, ``client``,
        ``top``, ``max_p``, a folder ``out``) in two passes (see Notes and
        :mod:`corrshift.adaptive_chunks`). Where the distinct
        splits of the samples are no more than ``max_permutations``, "auto"
        and a count alike run the exact test.
    fdr : float
        With ``permutations="auto"``: the false discovery rate whose
        decisions (``q_permutation`` <= ``fdr``) the permutations settle.
    max_permutations : int, optional
        With ``permutations="auto"``: the most permutations of any row. By
        default ceil(N / ``fdr``) - 1 for N tested rows, what a lone
        significant row needs, and at most 10**9.
    threads : int, optional
        Worker threads; all CPUs this process may use when None.
    progress : bool, optional
        Show a progress bar (``tqdm.auto``: a widget in a notebook, a bar on
        standard error in a terminal; never on standard output) of the
        permutation cycles, or in chunks of the chunks done. None (the
        default) shows it only where someone is watching: standard error is
        a terminal, or the code runs in a Jupyter kernel. True or False
        force it on or off.
    min_cells : int or float, optional
        Leave out the features observed (non-zero and not NaN) in fewer
        than ``min_cells`` samples (an int), or in less than this share of
        the samples (a float between 0 and 1), of either group; given pairs
        with such a feature are dropped. For sparse data such as
        single-cell counts, where a correlation carried by a handful of
        expressing cells is rarely biology. ``attrs["filtered"]`` lists the
        left-out features. It counts non-zero values, so on data with
        negative values or under 1% zeros (scaled or centred data, where it
        leaves out next to nothing) a warning suggests ``use_raw`` or a
        counts ``layer``.
    strata : str, Series or array_like, optional
        One stratum label per sample (batch, donor, sex), given as
        ``groupby`` is: each permutation deals the group labels anew within
        each stratum, keeping its count of group-1 and group-2 samples. The
        observed statistics do not change; the null hypothesis becomes "no
        difference between the groups given the strata". Every sample of
        the two groups needs a stratum.
    class_alpha : float
        Level of each group's own two-sided test of r = 0 (t distribution
        with n - 2 degrees of freedom) behind the ``class`` column.
    layer : str, optional
        AnnData layer to use instead of ``.X``.
    use_raw : bool
        Analyse the AnnData's ``.raw`` (its matrix and genes, the
        AnnData's cells and ``.obs``) instead of ``.X``, as scanpy's option
        of that name: the unscaled data kept before scaling. Not with
        ``layer``. The same as passing ``data.raw`` as ``data``.
    chunk_pairs : int, optional
        Compute the pairs in chunks of about this many, one native call per
        chunk, so that memory holds one chunk's pairs at a time instead of
        all pairs (a native call holds tens of bytes per pair). All
        pairs: chunks are blocks of first features (at least one feature's
        pairs each). Chunked results are bit for bit those of one call.
        Any of ``client``, ``top``, ``max_p`` and a folder ``out`` also runs in
        chunks, of a size chosen from the sample and permutation counts
        unless given here.
    client : dask.distributed.Client, optional
        Run the chunks as tasks on this Dask cluster (the data matrix is
        sent to each worker once); by default they run one after another
        in this process. The native call computes on its own threads without
        the interpreter lock; ``threads=None`` then gives each task its
        worker's thread count.
    top : int, optional
        Keep only the ``top`` best rows, best first (the order of
        :func:`corrshift.ranking.ranked`), reduced chunk by chunk so that memory
        stays bounded by the chunk size and ``top``.
    max_p : float, optional
        Keep only the tested rows whose ``p_permutation`` is at most
        ``max_p``, in their usual order, reduced chunk by chunk. Not with
        ``permutations=0`` (a ValueError: there is no ``p_permutation``).
    out : str or path-like, optional
        Write the rows to disk instead of returning them (the function
        then returns None), as the command line's ``--out`` does; the name
        says how:

        - a name ending in .csv, .tsv or .parquet (also .txt and .tab for
          TSV, .pq for Parquet; .csv.gz, .tsv.gz and the like compress it)
          is one file of that format: the table that would be returned
          (``top`` and ``max_p`` apply), best first (the order of
          :func:`corrshift.ranking.ranked`), with its q-values. It is
          written under a hidden name beside it and renamed when complete,
          so ``out`` holds the earlier file or the whole new one.
        - a name without extension (or ending in "/", or an existing
          folder) is a folder, written as a Parquet dataset chunk by chunk
          with memory bounded by the chunk size: one file per chunk
          (``part-<chunk>.parquet``; in name order they hold the rows in
          the usual order), the rows under ``max_p`` with it, and no
          q-values (they need every p-value at once). Not with ``top``.
          The folder must be empty or not exist yet; it is built in a
          hidden folder beside it and renamed to ``out`` only when
          complete.

        Any other name is refused before the analysis. Parquet needs
        pyarrow. Not with ``key_added``.
    key_added : str, optional
        With AnnData data: keep the table and the analysis parameters in
        ``data.uns[key_added]`` (and, for :func:`score`, each gene's score,
        p- and q-value in ``data.var`` columns named ``{key_added}_score``
        and so on), as scanpy tools do; read it back with
        :func:`corrshift.anndata_io.load_result`. With an AnnData's
        ``.raw`` (or ``use_raw=True``) the table goes to the AnnData's
        ``.uns`` and the per-gene columns to ``.raw.var``, whose genes
        they score.
    seed : int, optional
        Seed of the permutations (0 to 2**32 - 1): the same seed deals the
        same permutations, so gives the same table, whatever ``threads``
        and chunks; another seed deals others. None (the default) is the
        engine's fixed default stream, the seed 733: results are
        reproducible without a seed. ``attrs["seed"]`` records the seed
        that ran (733 for None), as do a Parquet ``out``'s metadata and
        ``key_added``'s parameters.
    center : bool, optional
        Deprecated, without effect (a FutureWarning when given): every
        feature is standardised within each group, which includes centring.
    contrasts : {None, "pairwise"}
        With three groups or more: "pairwise" adds, for every two groups a
        before b, the Fisher difference ``z_<a>_<b>`` = atanh(r_a) -
        atanh(r_b) and its two-sided permutation p-value ``p_<a>_<b>`` from
        the same cycles (no q-values: adjust them as the question needs).

    Returns
    -------
    DataFrame or None
        One row per pair, in the order of ``pairs`` (all pairs: (0, 1),
        (0, 2), ...), with the columns

        {columns}

        ``r1``, ``r2``, ``z_diff`` and ``p_normal`` are float32, the
        engine's values as computed; the other numbers are float64.

        ``attrs`` records the group names and sizes, the options, ``rows``
        (the number of rows of the full table) and, with ``min_cells``,
        ``filtered`` (the left-out features' names) and ``n_filtered``.
        There is no ``q_normal`` with ``top`` or ``max_p``, as it would
        need every normal p-value at once. None with ``out``.

    Raises
    ------
    ValueError
        For data, groups, pairs or options that cannot be used (a group of
        fewer than 3 samples among them); the message says which and why.

    Warns
    -----
    CorrshiftWarning
        (a UserWarning) When a group has only 3 samples (``p_normal`` is
        then NaN), a feature is constant or has a NaN within a group,
        ``min_cells`` leaves features out or meets scaled data, a
        ``groupby`` Series does not list some samples of the data, the
        permutation count is too small for a single pair to reach a
        ``q_permutation`` of 0.05, the design has too few distinct splits or
        strata that hold one group only, or the whole table would take more
        than half of the memory available (said with its size before it is
        computed; ``top``, ``max_p`` and ``out`` keep it small).

    Notes
    -----
    Null hypothesis of the permutation test: the two groups have the same
    correlation structure. Each feature is standardised within each group
    (mean 0, standard deviation 1; for "spearman", its average ranks
    within the group are) before the permutations, so differences of means
    or scales between the groups neither count as a change of correlation
    nor change the observed correlations.

    ``p_permutation`` is (b + 1) / (m' + 1): of the m' permutations in
    which the pair's statistic was defined, b gave a ``z_diff`` at least as
    extreme as the observed one (a permutation in which a correlation is
    undefined counts neither way). The observed statistic counts as one of
    the permutations, so no p-value is 0.

    With ``permutations="auto"`` each pair runs rounds of permutations
    until ten of them are at least as extreme as its own (it is plainly not
    significant) or its p-value is at most the current Benjamini-Hochberg
    threshold at ``fdr`` (it is significant, whatever the others do), or it
    reaches ``max_permutations``. Its ``p_permutation`` is then 10 / (w +
    10), w permutations less extreme before the tenth at least as extreme
    (Besag & Clifford 1991), valid however the run stopped (Fischer, Barry
    & Ramdas 2024); at ``max_permutations`` the smaller of that and (b + 1)
    / (m' + 1). ``q_permutation`` <= ``fdr`` is the decision; the q-value of
    a pair that stopped early is larger than a longer run would make it.
    A pair that ran c cycles has the counts of a fixed run of c
    permutations with the same ``seed``. In chunks, each chunk first runs
    its pairs stopping them by their losses only (no chunk sees the
    threshold over all pairs), up to some 1,000 cycles; the pairs still
    running there go on together in this process under the rule above.
    The p-values stay valid and the decisions are Benjamini-Hochberg's on
    them, as in one call; in a folder ``out`` those pairs' rows are the
    last part file.

    A correlation is undefined when a feature is constant, or has a NaN,
    within a group; it is NaN in ``r1``/``r2``, and the row's ``z_diff``,
    p- and q-values are NaN. Such rows are left out of the q-value
    adjustment. With 3 samples in a group the normal approximation has no
    standard error: ``p_normal`` and ``q_normal`` are NaN.

    Integers in ``group1``, ``group2`` and ``pairs`` are positions (as with
    ``.iloc``) where the names are strings or the axis is unnamed (a numpy
    array, or names that are just 0, 1, 2, ...). Where the sample or feature
    names are integers (for example a DataFrame indexed by gene IDs 101,
    102, ...), integers are names (as with ``.loc``), and an integer that is
    no name is an error, never taken for a position; give positions there as
    ``data.index[positions]`` or ``data.columns[positions]``.

    With three labels or more in ``groups`` (``groupby`` required) the
    question is whether a pair's correlation differs anywhere across the k
    groups (:mod:`corrshift.kgroups`). Each row then has one correlation
    per group (``r_<label>``), ``class`` with one side per group in group
    order ("+/0/-": positive in the first group, none to speak of in the
    second, negative in the third), ``chi2``, Cochran's Q = sum_g w_g (z_g -
    zbar)**2 of the Fisher transforms z_g with weights w_g = n_g - 3 (over
    1.5 for Spearman) and their weighted mean zbar, ``p_normal``, the
    chi-square upper tail of Q with k - 1 degrees of freedom, and
    ``p_permutation`` = (b + 1) / (m' + 1) from cycles that deal the labels
    of all k groups anew (sizes kept, within ``strata`` when given), b of
    them with a Q at least the observed one; then ``q_normal`` and
    ``q_permutation``. Each group needs at least 4 samples. The test is
    two-sided (``alternative`` must be "two-sided"); ``attrs`` record the
    ``groups`` and their ``sizes`` in order. ``permutations="auto"``
    works as for two groups (not with ``contrasts``), and so do
    ``chunk_pairs``, ``client``, ``top``, ``max_p`` and a folder ``out``
    with a number of permutations and no ``contrasts``; ``between`` and
    ``other`` are not yet available there.

    Only the groups' samples enter the computation, also in the
    permutations. Results are reproducible: the permutations are seeded
    (``seed``; by default a fixed seed) and do not depend on ``threads``.

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
    fdr, max_permutations = check_adaptive(permutations, fdr, max_permutations, MOST_PERMUTATIONS)
    seed = check_seed(seed)
    class_alpha = check_probability(class_alpha, "class_alpha")
    data = analysed_data(data, use_raw, layer)
    folder, file = output_target(out)
    chunking = chunking_options(chunk_pairs, client, top, max_p, folder)
    check_max_p(max_p, permutations)
    threads = _threads(threads, chunking)
    _check_key_added(data, key_added, out)
    check_between(between, other, pairs)
    _warn_center(center)
    if many_groups(groups):
        _check_sets_across_groups(between, other)
        return _delivered(data, key_added, file, _groups_ztest(
            data, group1, group2, chunking, permutations, alternative, groupby=groupby, groups=groups,
            pairs=pairs, method=method, threads=threads, progress=progress, min_cells=min_cells, strata=strata,
            class_alpha=class_alpha, layer=layer, seed=seed, contrasts=contrasts, fdr=fdr,
            max_permutations=max_permutations))
    if contrasts is not None:
        raise ValueError("contrasts= compares the groups of the test across three groups or more pairwise; "
                         "with two groups z_diff is their one contrast")
    prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                   min_cells=min_cells, strata=strata, between=between, other=other, other_layer=other_layer)
    prep = dataclasses.replace(prep, class_alpha=class_alpha)
    _warn_small_group(prep)
    k = prep.matrix.shape[0]
    if prep.sides is not None:
        involved = np.arange(k)
    elif pairs is None:
        involved = np.arange(k if k > 1 else 0)
    else:
        pairs = prep.pair_positions(pairs)
        involved = np.union1d(*pairs)
    _warn_filtered(prep, "their pairs are not tested")
    _warn_undefined(prep, involved, "their pairs' rows are NaN")
    rows = (prep.sides.tested_pairs(prep.undefined) if prep.sides is not None
            else testable_rows(ZTEST, prep.undefined, *(pairs or (None, None))))
    permutations, dealing, adaptive = _dealing(prep, permutations, seed, rows, fdr, max_permutations)
    warn_if_unreachable(rows, permutations, "pairs")
    warn_if_large_ztest(prep, pairs, chunking)
    options = dict(method=method, alternative=alternative, permutations=permutations)
    recorded = dict(options, seed=seed, exact=dealing.exact, class_alpha=class_alpha, **adaptive)
    if chunking is not None:
        return _delivered(data, key_added, file, _chunked(ZTEST, ztest_chunks, prep, pairs, chunking, recorded,
                                                          threads=threads, progress=progress, dealing=dealing,
                                                          **options))
    if adaptive:
        # The rectangle's rows are listed pairs of the stacked matrix to the rounds.
        columns = ztest_auto(prep, prep.rectangle() if prep.sides else pairs, method, alternative, threads,
                             progress, dealing, fdr, permutations)
        recorded.update(permutations=AUTO, **_adaptive_attrs(columns))
        table = ztest_table(prep, columns)
        return _delivered(data, key_added, file, _finish(table, ZTEST, prep, len(table), chunking, **recorded))
    # The table takes the native columns over and makes all pairs' positions itself, as its names' codes.
    table = ztest_table(prep, native.ztest(prep.matrix, prep.group1, prep.group2, method, alternative, permutations,
                                           threads, pairs=pairs, progress=progress, dealing=dealing,
                                           positions=False, **prep.across))
    return _delivered(data, key_added, file, _finish(table, ZTEST, prep, len(table), chunking, **recorded))


def _groups_ztest(data, group1, group2, chunking, permutations, alternative, **options) -> pd.DataFrame:
    """The test across three groups or more (:func:`corrshift.kgroups.ztest_groups`), for the options it
    takes."""
    _check_across_groups(group1, group2, None, alternative)
    return ztest_groups(data, permutations=permutations, chunking=chunking, **options)


def _check_across_groups(group1, group2, chunking, alternative) -> None:
    """Refuse the options that the analyses across three groups or more do not take (``chunking``: those of
    the scores, which do not run in chunks)."""
    if group1 is not None or group2 is not None:
        raise ValueError("three groups or more come from groupby= and groups=[label1, label2, label3, ...], "
                         "not with group1 and group2")
    if chunking is not None:
        raise ValueError("chunk_pairs, client, top, max_p and a folder out are not yet available for scores "
                         "across three groups or more: run without them (or out= a single file)")
    if alternative != "two-sided":
        raise ValueError("the test across groups is two-sided: Q measures a difference between the groups' "
                         f"correlations in no direction, so alternative must be \"two-sided\"; got {alternative!r}")


def _check_sets_across_groups(between, other) -> None:
    """Refuse two feature sets with three groups or more."""
    if between is not None or other is not None:
        raise ValueError("between= and other= test two groups; the test across three groups or more takes all "
                         "pairs of one matrix, or pairs=")


def _dealing(prep: Prepared, permutations: int | str, seed: int | None, rows: int = 0, fdr: float = 0.05,
             max_permutations: int | None = None) -> tuple[int, native.Dealing, dict]:
    """The permutation cycles to run, how they split the samples (every split once where they are few), and
    for ``permutations="auto"`` its options for ``attrs`` (empty for a fixed count).

    "auto" over ``rows`` tested rows runs at most ``max_permutations``
    cycles a row (by default what Benjamini-Hochberg needs for a lone row at
    ``fdr``); when the splits are no more, it is the exact test instead.
    Warns where the design cannot answer (see
    :func:`corrshift.design.warn_design`).
    """
    n1, n2 = len(prep.group1), len(prep.group2)
    adaptive = {}
    if permutations == AUTO:
        permutations = max_permutations or default_max_permutations(rows, fdr)
        adaptive = dict(fdr=fdr, max_permutations=permutations)
    warn_design(prep.strata, prep.strata_names, n1, n2, permutations)
    # One call runs the exact test: at most MAX_PERMUTATIONS splits.
    cycles, exact = permutation_cycles(prep.strata, n1, n2, min(permutations, MAX_PERMUTATIONS))
    if adaptive and not exact:
        cycles = permutations
    return cycles, native.Dealing(prep.strata, seed, exact), {} if exact else adaptive


def _adaptive_attrs(columns: dict) -> dict:
    """What an adaptive run adds to ``attrs``: the cycles of all rows together, and after each round the
    cycles so far and the rows still running (the cost curve)."""
    return dict(row_cycles=int(columns["cycles"].sum()), rounds=columns.pop("rounds"))


def _chunked(analysis: Analysis, run, prep: Prepared, pairs, chunking: Chunking, recorded: dict, **options):
    """The table of an analysis in chunks (``run``: :func:`ztest_chunks` or :func:`score_chunks`), its
    ``attrs`` made of ``recorded``; "auto" (``recorded`` has its ``fdr``) in two passes
    (:mod:`corrshift.adaptive_chunks`)."""
    auto = Adaptive(recorded["fdr"], recorded["max_permutations"]) if "fdr" in recorded else None
    if auto is not None:
        recorded = dict(recorded, permutations=AUTO)
    chunking = _recorded(chunking, analysis, prep, **recorded)
    table, result = run(prep, pairs, chunking=chunking, auto=auto, **options)
    if auto is not None:
        recorded.update(row_cycles=result.row_cycles, rounds=result.rounds)
    return _finish(table, analysis, prep, result.rows, chunking, **recorded)


def _threads(threads, chunking) -> int | None:
    # On a Dask cluster, None lets every task use its own worker's threads.
    if threads is None and chunking is not None and chunking.client is not None:
        return None
    return check_threads(threads)


def _recorded(chunking: Chunking, analysis: Analysis, prep: Prepared, **options) -> Chunking:
    """``chunking`` with the analysis' ``attrs`` for the files of a folder ``out`` (all but ``rows``, which
    only the end of the run knows)."""
    return dataclasses.replace(chunking, attrs=_attrs(analysis, prep, **options))


def _finish(table, analysis: Analysis, prep: Prepared, rows: int, chunking, **options) -> pd.DataFrame | None:
    """Record the analysis in the table's ``attrs``."""
    if table is None:
        return None
    if options.get("exact") and options.get("permutations") == 0 and "p_permutation" in table.columns:
        # One split only (each stratum holds one group): the observed split is
        # every split, so each defined row's exact p-value is 1.
        defined = table[analysis.statistic].notna().to_numpy()
        for column in ("p_permutation", "q_permutation"):
            if column in table.columns:
                table[column] = np.where(defined, 1.0, np.nan)
    bounds = {} if chunking is None else {"top": chunking.top, "max_p": chunking.max_p}
    table.attrs = _attrs(analysis, prep, rows=rows, **options, **{k: v for k, v in bounds.items() if v is not None})
    return table


@columns.documented("score")
def score(data, group1=None, group2=None, *, groupby=None, groups=None, pairs=None, aggregate="mean",
          method="pearson", alternative="two-sided", permutations=1000, threads=None, progress=None,
          min_cells=None, strata=None, sets=None, layer=None, use_raw=False, chunk_pairs=None, client=None,
          top=None, max_p=None, out=None, key_added=None, seed=None, center=None, fdr=0.05,
          max_permutations=None, between=None, other=None, other_layer=None) -> pd.DataFrame | None:
    """Score each feature by how much its correlations change between two groups.

    A feature's score aggregates the Fisher differences z_diff of its pairs
    (see :func:`ztest`): with all other features, or with the given pairs
    whose first feature it is. A permutation test that deals the samples of
    the two groups anew gives each score a p-value.

    With three labels or more in ``groups`` a feature's score is the mean
    (or median) of ``chi2``, Cochran's Q of the groups' Fisher transforms
    (see :func:`ztest`, Notes), over all its pairs, and the permutation
    cycles deal all the groups anew (with ``sets``, a set's score is the
    mean or median of ``chi2`` over the pairs inside it); ``alternative``
    must then be "two-sided", and ``pairs``, ``permutations="auto"`` with
    ``sets`` and the chunk options are not yet available there.
    ``attrs["test"]`` is "score_groups".

    Parameters
    ----------
    data, group1, group2, groupby, groups, method, permutations, threads, progress, min_cells, strata
        As in :func:`ztest`.
    layer, use_raw, key_added, seed, center
        As in :func:`ztest`.
    between, other, other_layer
        As in :func:`ztest`: each feature of set A is scored over its pairs
        with set B, and each feature of B over its pairs with A; a column
        ``side`` ("a" or "b") before ``feature`` says which (a feature in
        both sets has a row on each side). Rows: set A's features in its
        order, then set B's. Not with ``pairs``, ``sets`` or
        ``key_added``.
    sets : dict or DataFrame, optional
        Score gene sets instead of features: ``{name: [features]}`` (or a
        table of set and feature columns) scores the pairs inside each set;
        a value ``([A features], [B features])`` scores the pairs between
        two sets. One row per set (columns ``set``, ``pairs``, ``score``,
        ``p_permutation``, ``q_permutation``), all from the same
        permutation cycles. Not with ``pairs`` or the chunk options.
    pairs : sequence of tuples or DataFrame, optional
        Pairs to score, as in :func:`ztest`. Each pair counts for its
        first feature; pairs may come in any order (they are sorted by
        first feature before the native call, so none is left out). All
        pairs of every feature when omitted.
    aggregate : {"mean", "median"}
        "mean": the mean of |z_diff| over the feature's pairs, for every
        alternative. "median": the median of |z_diff| for "two-sided" and
        of the signed z_diff for "greater" and "less" (for an even count,
        the upper of the two middle values). Only pairs whose correlations
        are defined in both groups count.
    alternative : {"two-sided", "greater", "less"}
        Which permuted scores count as at least as extreme: larger in
        magnitude, larger, or smaller.
    chunk_pairs, client, top, max_p, out
        As in :func:`ztest`. The chunks hold whole features: all pairs of a
        feature (or all given pairs that start with it) in one chunk.
    permutations, fdr, max_permutations
        As in :func:`ztest`; with "auto" each feature (or set) runs until its
        decision at ``fdr`` is settled.

    Returns
    -------
    DataFrame or None
        One row per feature (in data order), or per first feature of the
        given pairs (in data order), with the columns

        {columns}

        ``score`` is float32 (the engine's value), the p- and q-values
        float64. ``attrs`` records the group names and sizes and the options (with
        ``min_cells``, the left-out features in ``filtered``). None with
        ``out``.

    Raises
    ------
    ValueError
        For data, groups, pairs or options that cannot be used.

    Warns
    -----
    CorrshiftWarning
        (a UserWarning) When a feature is constant or has a NaN within a
        group, ``min_cells`` leaves features out or meets scaled data, a
        ``groupby`` Series does not list some samples of the data, or the
        permutation count is too small for a single feature to reach a
        ``q_permutation`` of 0.05.

    Notes
    -----
    The null hypothesis is that of :func:`ztest`: the same correlation
    structure in both groups, whatever their means and scales.
    ``p_permutation`` is (b + 1) / (m' + 1), b of the m' permutations with
    a defined score giving a score at least as extreme as the observed
    one, so no p-value is 0. A feature constant (or with a NaN) within a
    group has no defined correlation there: its score is NaN (left out of
    the q-values), and it takes no part in the other features' scores,
    observed or permuted. A feature whose pairs are all undefined also has
    a NaN score. Integers in the groups and pairs are names where the
    names are integers, positions otherwise (see :func:`ztest`).

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
    fdr, max_permutations = check_adaptive(permutations, fdr, max_permutations, MOST_PERMUTATIONS)
    seed = check_seed(seed)
    data = analysed_data(data, use_raw, layer)
    folder, file = output_target(out)
    chunking = chunking_options(chunk_pairs, client, top, max_p, folder)
    check_max_p(max_p, permutations)
    threads = _threads(threads, chunking)
    _check_key_added(data, key_added, out)
    check_between(between, other, pairs, sets)
    if key_added is not None and (between is not None or other is not None):
        raise ValueError("key_added= keeps one score per gene of the AnnData in .var; the scores of between= or "
                         "other= belong to two sets of features: take the returned table instead")
    if sets is not None and (pairs is not None or chunking is not None):
        raise ValueError("sets= scores the pairs inside each set in one native call: it does not go together "
                         "with pairs=, chunk_pairs=, client=, top=, max_p= or a folder out= (a file out= is fine)")
    _warn_center(center)
    if many_groups(groups):
        _check_sets_across_groups(between, other)
        if pairs is not None:
            raise ValueError("scores across three groups or more are over all pairs or sets=: not with pairs=")
        _check_across_groups(group1, group2, chunking, alternative)
        return _delivered(data, key_added, file, score_groups(
            data, groupby, groups, aggregate=aggregate, method=method, permutations=permutations, threads=threads,
            progress=progress, min_cells=min_cells, strata=strata, layer=layer, seed=seed, sets=sets, fdr=fdr,
            max_permutations=max_permutations))
    prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                   min_cells=min_cells, strata=strata, between=between, other=other, other_layer=other_layer)
    asked = dict(seed=seed, fdr=fdr, max_permutations=max_permutations)
    if sets is not None:
        return _delivered(data, key_added, file, _set_scores(prep, sets, threads, progress, permutations, asked,
                                                             method=method, aggregate=aggregate,
                                                             alternative=alternative))
    k = prep.matrix.shape[0]
    if pairs is None:
        involved = np.arange(k)
    else:
        first, second = prep.pair_positions(pairs)
        order = np.argsort(first, kind="stable")
        pairs = first[order], second[order]
        involved = np.union1d(first, second)
    _warn_filtered(prep, "they have no score and take no part in the other features' scores")
    _warn_undefined(prep, involved, "their scores are NaN, and they take no part in the other features' "
                                    "scores")
    rows = testable_rows(SCORE, prep.undefined, None if pairs is None else pairs[0])
    permutations, dealing, adaptive = _dealing(prep, permutations, seed, rows, fdr, max_permutations)
    warn_if_unreachable(rows, permutations, "features")
    options = dict(method=method, aggregate=aggregate, alternative=alternative, permutations=permutations)
    recorded = dict(options, seed=seed, exact=dealing.exact, **adaptive)
    if chunking is not None:
        return _delivered(data, key_added, file, _chunked(SCORE, score_chunks, prep, pairs, chunking, recorded,
                                                          threads=threads, progress=progress, dealing=dealing,
                                                          **options))
    if adaptive:
        columns = score_auto(prep, pairs, method, aggregate, alternative, threads, progress, dealing, fdr,
                             permutations)
        recorded.update(permutations=AUTO, **_adaptive_attrs(columns))
        table = score_table(prep, columns)
        return _delivered(data, key_added, file, _finish(table, SCORE, prep, len(table), None, **recorded))
    table = score_table(prep, native.score(prep.matrix, prep.group1, prep.group2, method, aggregate, alternative,
                                           permutations, threads, pairs=pairs, exclude=prep.undefined,
                                           progress=progress, dealing=dealing, **prep.across))
    return _delivered(data, key_added, file, _finish(table, SCORE, prep, len(table), chunking, **recorded))


def _set_scores(prep: Prepared, sets, threads, progress, permutations, asked: dict, *, method, aggregate,
                alternative) -> pd.DataFrame:
    """One row per unit of ``sets`` (see :func:`corrshift.sets.unit_pairs`), scored in one native call (in
    rounds with ``permutations="auto"``); ``asked`` holds the options seed, fdr and max_permutations."""
    first, second, starts, names = unit_pairs(sets, prep.features, prep.undefined)
    _warn_filtered(prep, "their pairs are left out of the sets")
    _warn_undefined(prep, np.union1d(first, second), "their pairs are left out of the sets")
    permutations, dealing, adaptive = _dealing(prep, permutations, asked["seed"], len(names), asked["fdr"],
                                               asked["max_permutations"])
    warn_if_unreachable(len(names), permutations, "sets")
    if adaptive:
        columns = set_auto(prep, (first, second, starts), method, aggregate, alternative, threads, progress,
                           dealing, asked["fdr"], permutations)
        adaptive.update(_adaptive_attrs(columns))
    else:
        columns = native.score_units(prep.matrix, prep.group1, prep.group2, method, aggregate, alternative,
                                     permutations, threads, (first, second), starts, progress=progress,
                                     dealing=dealing)
    counts = np.diff(np.append(starts, len(first)))
    table = unit_table(names, counts, columns)
    return _finish(table, SCORE, prep, len(table), None, method=method, aggregate=aggregate,
                   alternative=alternative, permutations=AUTO if adaptive else permutations, seed=dealing.seed,
                   exact=dealing.exact, units="sets", **adaptive)


def _check_key_added(data, key_added, out) -> None:
    if key_added is None:
        return
    if not (is_anndata(data) or is_anndata_raw(data)):
        raise ValueError("key_added= stores the result in an AnnData's .uns (and scores in .var): data must be "
                         "an AnnData or an AnnData's .raw")
    if not isinstance(key_added, str) or not key_added:
        raise ValueError(f"key_added must be a non-empty string; got {key_added!r}")
    if out is not None:
        raise ValueError("key_added= stores the table in the AnnData; out= writes it to disk instead")


def _delivered(data, key_added, file, table):
    """The table, also kept in the AnnData ``data`` under ``key_added`` when that is given; or, with
    ``file``, None once the table is written there best first (as the command line's ``--out`` file)."""
    if file is not None and table is not None:
        write_table(ranked(table), file)
        return None
    if key_added is not None and table is not None:
        store_result(_result_holder(data), table, key_added, dict(table.attrs))
    return table


def _result_holder(data):
    """Where :func:`store_result` keeps a result of ``data``: the AnnData itself; for its ``.raw``, the
    AnnData's ``.uns`` and, for gene scores, the columns of ``.raw.var`` (the genes of ``.raw``)."""
    if not is_anndata_raw(data):
        return data
    return types.SimpleNamespace(uns=data._adata.uns, var=data.var, var_names=data.var_names, n_vars=data.n_vars)
