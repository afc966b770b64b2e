"""The two analyses, ``ztest`` and ``score``: what each computes and how its rows rank.

Everything that differs between them lives in one :class:`Analysis` each
(:data:`ZTEST`, :data:`SCORE`): the native call and its columns, the tested
statistic, which rows count as tested, the order of the rows best first and
the shape of "all pairs". The result tables, the chunk engine and the
command line ask the descriptor instead of comparing names.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping

import numpy as np

from . import native


@dataclasses.dataclass(frozen=True)
class Analysis:
    """One analysis: its name (``attrs["test"]``), statistic, rows and native call."""

    name: str
    #: The tested statistic's column: ``z_diff`` per pair, ``score`` per feature.
    statistic: str
    #: What a row is, in messages ("pairs", "features").
    rows: str
    #: The columns of the native call (see :mod:`corrshift.native`).
    native_columns: tuple[str, ...]
    #: Whether a row is a feature scored over its pairs (each feature pairs
    #: with every other, and the pairs of one first feature stay together)
    #: rather than a pair (z-tests: over all pairs, the condensed order i < j).
    per_feature: bool
    #: Whether rows carry a normal-approximation p-value.
    has_normal: bool
    #: ``call(data, job, threads, pairs)``: the native columns of a chunk (``pairs`` None: all pairs, or the
    #: rectangle of ``job.between``).
    call: Callable
    #: Native columns of float64 numbers (the others are the engine's float32, or counts and positions).
    wide: tuple[str, ...] = ()

    def tested(self, columns: Mapping, p_permutation: np.ndarray) -> np.ndarray:
        """Rows with a finite statistic and a defined permutation p-value."""
        return np.isfinite(columns[self.statistic]) & ~np.isnan(p_permutation)

    def ranking_keys(self, columns: Mapping, p_permutation: np.ndarray,
                     tested: np.ndarray | None = None) -> list[np.ndarray]:
        """Sort keys, most significant first, that order rows best first.

        Rows with a statistic come first; then the permutation p-value
        ascending, the normal p-value ascending (z-tests) and the
        statistic's magnitude descending. A row with a statistic but no
        permutation p-value (``permutations=0``) ranks after those with one,
        by the later keys: without permutations the normal p-value decides.
        Rows without a statistic tie on every key after the first, and a NaN
        normal p-value (a group of 3 samples) ties with every other.
        ``tested``: the tested rows, when already known.
        """
        untested = ~(self.tested(columns, p_permutation) if tested is None else tested)
        some_untested = bool(untested.any())  # else the keys are the columns themselves
        if some_untested:
            stated = np.isfinite(np.asarray(columns[self.statistic]))
            unranked = untested & stated  # a statistic, no permutation p-value
            if unranked.any():
                p_permutation = np.where(unranked, np.inf, p_permutation)
                untested = ~stated

        def tested_first(values, fill):
            return np.where(untested, fill, values) if some_untested else values

        keys = [untested, tested_first(p_permutation, np.inf)]
        if self.has_normal:
            # Compared in the columns' own precision: no conversion changes an order.
            p_normal = np.asarray(columns["p_normal"])
            undefined = np.isnan(p_normal)
            keys.append(tested_first(np.where(undefined, 0.0, p_normal) if undefined.any() else p_normal, 0.0))
        keys.append(tested_first(-np.abs(np.asarray(columns[self.statistic])), 0.0))
        return keys


def _ztest_call(data, job, threads, pairs):
    return native.ztest(data, job.group1, job.group2, job.method, job.alternative, job.permutations, threads,
                        pairs=pairs, dealing=job.dealing, between=job.between, same=job.same)


def _score_call(data, job, threads, pairs):
    # A single feature has no pair: the call over all pairs gives its row.
    pairs = pairs if pairs is not None and len(pairs[0]) else None
    return native.score(data, job.group1, job.group2, job.method, job.aggregate, job.alternative,
                        job.permutations, threads, pairs=pairs, exclude=job.exclude, dealing=job.dealing,
                        between=job.between, same=job.same)


ZTEST = Analysis("ztest", "z_diff", "pairs", native.ZTEST_COLUMNS, per_feature=False, has_normal=True,
                 call=_ztest_call)
SCORE = Analysis("score", "score", "features", native.SCORE_COLUMNS, per_feature=True, has_normal=False,
                 call=_score_call)
ANALYSES = {a.name: a for a in (ZTEST, SCORE)}


def _groups_call(data, job, threads, pairs):
    columns = native.ztest_groups(data, job.groups, job.method, job.permutations, threads, pairs=pairs,
                                  dealing=job.dealing)
    if pairs is not None:
        columns["first"], columns["second"] = pairs
    return columns


#: The test across k groups (:mod:`corrshift.kgroups`); its native columns name the groups' correlations
#: r0 .. r<k-1> as well (see :func:`groups_columns`).
GROUPS = Analysis("ztest_groups", "chi2", "pairs", ("first", "second", "chi2", "p_normal", "extreme", "valid"),
                  per_feature=False, has_normal=True, call=_groups_call, wide=("chi2", "p_normal"))


def groups_columns(groups: int) -> tuple[str, ...]:
    """The native columns of the test across ``groups`` groups (:func:`corrshift.native.ztest_groups`)."""
    return GROUPS.native_columns[:2] + tuple(f"r{g}" for g in range(groups)) + GROUPS.native_columns[2:]


def analysis_of(columns: Mapping) -> Analysis:
    """The analysis whose rows (native columns or a table) these are."""
    for analysis in (ZTEST, GROUPS):
        if analysis.statistic in columns:
            return analysis
    return SCORE
