"""Differential correlation across k groups of samples (``corrshift.ztest`` with three or more ``groups``).

Per pair of features, each group's correlation r_g over its n_g samples
and its Fisher transform z_g = atanh(r_g) give Cochran's homogeneity
statistic, the weighted variance of the k values::

    Q = sum_g w_g (z_g - zbar)**2,  zbar = sum_g w_g z_g / sum_g w_g,  w_g = n_g - 3

(for Spearman w_g = (n_g - 3) / 1.5, the variance factor of the two-group
test's standard error). Under the null hypothesis of one correlation in all
groups Q is about chi-square with k - 1 degrees of freedom (``p_normal``);
the permutation test deals the labels of all k groups anew in every cycle
(group sizes kept; within strata, each stratum keeping its count of each
group) and counts the cycles whose Q is at least the observed one
(``p_permutation``). With two groups Q is z_diff**2 / se**2, so the test is
the two-sided z-test: the same cycles, the same decisions.

Q is computed in double precision from the engine's float32 correlations
with the groups in an order of their own (by weight, then z), so that two
cycles whose groups hold the same correlations give the same Q bit for bit
and count as ties.
"""

from __future__ import annotations

import dataclasses
import itertools

import numpy as np
import pandas as pd

from . import native
from .analyses import GROUPS
from .groups import MIN_GROUP, SampleOptions, labelled_positions
from .memory import warn_if_too_large
from .inputs import DataTable, as_table
from .messages import few, warn
from .adaptive import default_max_permutations
from .adaptive_runs import groups_auto, groups_score_auto
from .options import AGGREGATES, AUTO, METHODS, check_choice, check_min_cells
from .significance import testable_rows, warn_if_unreachable
from .sets import unit_pairs
from .tables import groups_table, score_table, unit_table

#: Fewest samples of a group: its weight n - 3 in Q must be positive.
MIN_GROUP_SAMPLES = 4


@dataclasses.dataclass(frozen=True)
class GroupsPrepared(SampleOptions):
    """Native inputs of the test across groups.

    ``matrix`` holds only the groups' samples, group after group (each in
    an order of its own), every feature standardised within each group;
    ``groups`` are the groups' column positions in it, ``labels`` their
    names as the table shows them. ``constant`` and ``missing`` mark per
    group the features whose correlations are undefined there.
    """

    matrix: np.ndarray
    groups: tuple[np.ndarray, ...]
    labels: tuple[str, ...]
    features: pd.Index
    rows: np.ndarray
    constant: tuple[np.ndarray, ...]
    missing: tuple[np.ndarray, ...]
    table: DataTable

    @property
    def sizes(self) -> tuple[int, ...]:
        return tuple(len(g) for g in self.groups)

    @property
    def undefined(self) -> np.ndarray:
        """Features whose correlations are undefined in some group."""
        return np.logical_or.reduce(self.constant + self.missing)

    def contrasts(self) -> list[tuple[str, str]]:
        """The pairs of group labels (a, b), a before b, in the engine's order of contrasts."""
        return list(itertools.combinations(self.labels, 2))


def many_groups(groups) -> bool:
    """Whether ``groups`` asks for the test across groups: a list of three labels or more."""
    return (groups is not None and not isinstance(groups, (str, bytes)) and np.ndim(groups) == 1
            and len(groups) > 2)


def check_labels(groupby, groups) -> tuple:
    """The k labels of ``groups`` (with ``groupby``), at least two, none twice."""
    if groupby is None:
        raise ValueError("the test across groups takes its groups from groupby= (one label per sample) and "
                         "groups=[label1, label2, label3, ...]")
    if isinstance(groups, (str, bytes)) or np.ndim(groups) != 1 or len(groups) < 2:
        raise ValueError(f"groups must list at least two labels; got {groups!r}")
    return tuple(groups)


def prepare_groups(data, groupby, groups, *, layer=None, method="pearson", features=None, min_cells=None,
                   strata=None, class_alpha=0.05) -> GroupsPrepared:
    """Check the data and the k groups and build the native matrix, as :func:`corrshift.api.prepare` does
    for two groups (each feature standardised within each group)."""
    from .api import grouped_matrix  # the two-group preparation's own

    method = check_choice(method, METHODS, "method")
    min_cells = check_min_cells(min_cells)
    labels = check_labels(groupby, groups)
    table: DataTable = as_table(data, layer)
    if len(table.features) == 0:
        raise ValueError("data has no features (rows)")
    found = labelled_positions(table, groupby, labels)
    for label, members in zip(labels, found):
        if len(members) < MIN_GROUP_SAMPLES:
            raise ValueError(f"group {label!r} has {len(members)} sample{'s' if len(members) != 1 else ''}; "
                             f"the test across groups weighs each group by n - 3, so each needs at least "
                             f"{MIN_GROUP_SAMPLES} (and correlations at least {MIN_GROUP})")
    std, rows, filtered, codes, names, _ = grouped_matrix(table, found, features, min_cells, strata, method)
    bounds = np.concatenate([[0], np.cumsum([len(g) for g in found])])
    groups_at = tuple(np.arange(lo, hi, dtype=np.int32) for lo, hi in zip(bounds[:-1], bounds[1:]))
    return GroupsPrepared(std.matrix, groups_at, tuple(str(label) for label in labels), table.features[rows], rows,
                          std.constant, std.missing, table, min_cells=min_cells, filtered=filtered, strata=codes,
                          strata_names=names, class_alpha=class_alpha)


def ztest_groups(data, groupby, groups, *, pairs=None, method="pearson", permutations=1000, threads=1,
                 progress=None, min_cells=None, strata=None, class_alpha=0.05, layer=None, seed=None,
                 contrasts=None, fdr=0.05, max_permutations=None, chunking=None) -> pd.DataFrame | None:
    """The test across the groups ``groups`` of ``groupby``: the table :func:`corrshift.ztest` returns for
    three labels or more (see its Notes), for checked options (``threads`` a count, ``permutations`` a
    whole number or "auto" with ``fdr`` and ``max_permutations``, ``seed`` None or a whole number). Two
    labels run the same test across two groups. ``chunking`` (a
    :class:`~corrshift.chunked_runs.Chunking`) runs it in chunks, with a fixed permutation count and no
    contrasts; None when the rows went to a folder ``out``."""
    from .api import matrix_pair_positions, warn_undefined_groups  # shared with the two-group analysis

    if contrasts not in (None, "pairwise"):
        raise ValueError(f'contrasts must be None or "pairwise"; got {contrasts!r}')
    if contrasts is not None and permutations == AUTO:
        raise ValueError('contrasts= and permutations="auto" do not go together: each pair stops when its '
                         "decision across the groups is settled, which would leave the contrasts' p-values "
                         "without a fixed count; give a number of permutations")
    if chunking is not None and (contrasts is not None or permutations == AUTO):
        raise ValueError('chunk_pairs, client, top, max_p and a folder out take a number of permutations and no '
                         'contrasts across three groups or more (not yet permutations="auto" or contrasts=)')
    prep = prepare_groups(data, groupby, groups, layer=layer, method=method, min_cells=min_cells, strata=strata,
                          class_alpha=class_alpha)
    if contrasts is not None:
        _check_contrast_names(prep)
    if pairs is None:
        k = prep.matrix.shape[0]
        involved = np.arange(k if k > 1 else 0)
    else:
        pairs = matrix_pair_positions(prep, pairs)
        involved = np.union1d(*pairs)
    if len(prep.filtered):
        warn_filtered_features(prep)
    warn_undefined_groups(prep.features, prep.constant, prep.missing, prep.labels, involved,
                          "their pairs' rows are NaN")
    rows = testable_rows(GROUPS, prep.undefined, *(pairs or (None, None)))
    adaptive = {}
    if permutations == AUTO:
        adaptive = dict(fdr=fdr, max_permutations=max_permutations or default_max_permutations(rows, fdr))
    warn_if_unreachable(rows, adaptive.get("max_permutations", permutations), "pairs")
    dealing = native.Dealing(prep.strata, seed)
    recorded = dict(method=method, alternative="two-sided", permutations=permutations,
                    seed=native.DEFAULT_SEED if seed is None else seed, class_alpha=class_alpha, contrasts=contrasts)
    if chunking is not None:
        return _in_chunks(prep, pairs, chunking, dealing, threads, progress, recorded)
    _warn_if_large(prep, pairs, contrasts is not None)
    if adaptive:
        columns = groups_auto(prep, pairs, method, threads, progress, dealing, fdr, adaptive["max_permutations"])
        adaptive.update(row_cycles=int(columns["cycles"].sum()), rounds=columns.pop("rounds"))
    else:
        columns = native.ztest_groups(prep.matrix, prep.groups, method, permutations, threads, pairs=pairs,
                                      progress=progress, dealing=dealing, contrasts=contrasts is not None)
    if pairs is not None:
        columns["first"], columns["second"] = pairs
    table = groups_table(prep, columns)
    table.attrs = _attrs(prep, len(table), **recorded, **adaptive)
    return table


def _in_chunks(prep: GroupsPrepared, pairs, chunking, dealing: native.Dealing, threads, progress,
               recorded: dict) -> pd.DataFrame | None:
    """The test across groups in chunks (:func:`corrshift.chunked_runs.groups_chunks`), its ``attrs`` made of
    ``recorded``; None when the rows went to a folder ``out`` (whose files record them, but ``rows``)."""
    from .chunked_runs import groups_chunks  # the chunk engine comes after the analyses

    folder = _attrs(prep, 0, **recorded)
    del folder["rows"]
    chunking = dataclasses.replace(chunking, attrs=folder)
    table, result = groups_chunks(prep, pairs, method=recorded["method"], permutations=recorded["permutations"],
                                  dealing=dealing, threads=threads, progress=progress, chunking=chunking)
    if table is None:
        return None
    bounds = {name: value for name, value in (("top", chunking.top), ("max_p", chunking.max_p)) if value is not None}
    table.attrs = _attrs(prep, result.rows, **recorded, **bounds)
    return table


def score_groups(data, groupby, groups, *, aggregate="mean", method="pearson", permutations=1000, threads=1,
                 progress=None, min_cells=None, strata=None, layer=None, seed=None, sets=None, fdr=0.05,
                 max_permutations=None) -> pd.DataFrame:
    """Each feature's score across the groups ``groups`` of ``groupby``: the mean (or median) of Q over its
    pairs, with a permutation p-value from the same cycles as :func:`ztest_groups` (the table
    :func:`corrshift.score` returns for three labels or more). Features whose correlations are undefined
    in a group take no part: their rows are NaN, and their pairs are left out of the others' scores. With
    ``sets`` (as :func:`corrshift.score` takes them) each set's score over the pairs inside it instead.
    ``permutations="auto"`` (features only) runs each feature as :func:`ztest_groups` runs each pair."""
    from .api import warn_undefined_groups  # shared with the two-group analysis

    aggregate = check_choice(aggregate, AGGREGATES, "aggregate")
    prep = prepare_groups(data, groupby, groups, layer=layer, method=method, min_cells=min_cells, strata=strata)
    if len(prep.filtered):
        warn_filtered_features(prep)
    if sets is not None:
        if permutations == AUTO:
            raise ValueError('permutations="auto" is not yet available for sets across three groups or more: '
                             "give a number of permutations")
        return _set_scores(prep, sets, aggregate=aggregate, method=method, permutations=permutations,
                           threads=threads, progress=progress, seed=seed)
    rows = np.arange(len(prep.features))
    warn_undefined_groups(prep.features, prep.constant, prep.missing, prep.labels, rows,
                          "they are left out of every score")
    kept = rows[~prep.undefined]
    adaptive = {}
    if permutations == AUTO:
        adaptive = dict(fdr=fdr, max_permutations=max_permutations or default_max_permutations(len(kept), fdr))
    warn_if_unreachable(len(kept), adaptive.get("max_permutations", permutations), "features")
    columns = {"feature": rows, "score": np.full(len(rows), np.nan),
               "extreme": np.zeros(len(rows), np.uint32), "valid": np.zeros(len(rows), np.uint32)}
    dealing = native.Dealing(prep.strata, seed)
    if adaptive:
        columns.update(p_permutation=np.full(len(rows), np.nan), cycles=np.zeros(len(rows), np.int64))
        found = (groups_score_auto(prep, method, aggregate, threads, progress, dealing, fdr,
                                   adaptive["max_permutations"]) if len(kept) > 1 else None)
        for name in ("score", "extreme", "valid", "p_permutation", "cycles"):
            if found is not None:
                columns[name][kept] = found[name]
        adaptive.update(row_cycles=int(columns["cycles"].sum()), rounds=[] if found is None else found["rounds"])
    elif len(kept) > 1:
        found = native.ztest_groups(np.ascontiguousarray(prep.matrix[kept]), prep.groups, method, permutations,
                                    threads, progress=progress, dealing=dealing, aggregate=aggregate)
        for name in ("score", "extreme", "valid"):
            columns[name][kept] = found[name if name == "score" else f"score_{name}"]
    table = score_table(prep, columns)
    table.attrs = _attrs(prep, len(table), test="score_groups", method=method, aggregate=aggregate,
                         alternative="two-sided", permutations=permutations,
                         seed=native.DEFAULT_SEED if seed is None else seed, **adaptive)
    return table


def _set_scores(prep: GroupsPrepared, sets, *, aggregate, method, permutations, threads, progress,
                seed) -> pd.DataFrame:
    """One row per unit of ``sets`` (:func:`corrshift.sets.unit_pairs`): the aggregate of Q over its pairs,
    with its permutation counts from the cycles of one native call."""
    from .api import warn_undefined_groups  # shared with the two-group analysis

    first, second, starts, names = unit_pairs(sets, prep.features, prep.undefined)
    warn_undefined_groups(prep.features, prep.constant, prep.missing, prep.labels, np.union1d(first, second),
                          "their pairs are left out of the sets")
    warn_if_unreachable(len(names), permutations, "sets")
    columns = native.ztest_groups(prep.matrix, prep.groups, method, permutations, threads, pairs=(first, second),
                                  progress=progress, dealing=native.Dealing(prep.strata, seed), aggregate=aggregate,
                                  starts=starts)
    found = {"score": columns["score"], "extreme": columns["score_extreme"], "valid": columns["score_valid"]}
    table = unit_table(names, np.diff(np.append(starts, len(first))), found)
    table.attrs = _attrs(prep, len(table), test="score_groups", method=method, aggregate=aggregate,
                         alternative="two-sided", permutations=permutations,
                         seed=native.DEFAULT_SEED if seed is None else seed, units="sets")
    return table


def _check_contrast_names(prep: GroupsPrepared) -> None:
    """Refuse labels whose contrasts' columns (``z_<a>_<b>``) would share a name."""
    names = [f"{a}_{b}" for a, b in prep.contrasts()]
    if len(set(names)) != len(names):
        raise ValueError(f"the group labels {list(prep.labels)} give two contrasts the column name "
                         f"z_{next(n for n in names if names.count(n) > 1)}; give labels that differ other than by "
                         "where an underscore stands")


def _warn_if_large(prep: GroupsPrepared, pairs, contrasts: bool) -> None:
    """Warn when the call's pairs would take more than their share of the memory: per pair and group the
    engine's observed and permuted correlations and the table's column, per contrast a difference, a
    threshold, two counts and a p-value, and some 80 bytes of names, statistics, counts and p- and q-values."""
    k = len(prep.groups)
    per_pair = 12 * k + 80 + (k * (k - 1) // 2) * 24 * contrasts
    features = len(prep.features)
    rows = features * (features - 1) // 2 if pairs is None else len(pairs[0])
    warn_if_too_large(rows, per_pair, "pairs", "pairs= (the pairs to test) or fewer features (a subset of the "
                      "data's rows, or min_cells=) keep it smaller; chunks are not yet available with more than "
                      "two groups")


def warn_filtered_features(prep: GroupsPrepared) -> None:
    """Warn of the features ``min_cells`` leaves out."""
    many = len(prep.filtered) > 1
    warn(f"min_cells={prep.min_cells!r} leaves out {len(prep.filtered)} feature{'s' if many else ''} observed "
         f"(non-zero) in too few samples of a group: {few(prep.filtered)}; their pairs are not tested")


def _attrs(prep: GroupsPrepared, rows: int, test: str = GROUPS.name, **options) -> dict:
    attrs = {"test": test, "groups": list(prep.labels), "sizes": list(prep.sizes),
             "features": len(prep.features), **options, "rows": rows}
    if prep.min_cells is not None:
        attrs.update(min_cells=prep.min_cells, filtered=list(prep.filtered), n_filtered=len(prep.filtered))
    if prep.strata is not None:
        attrs.update(strata=list(prep.strata_names))
    return attrs
