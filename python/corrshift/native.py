"""The calls into the native engine ``corrshift._core``, in one place.

Every native call of corrshift goes through :func:`ztest` or :func:`score`.
They take the prepared inputs (a C-contiguous float32 matrix of the analysed
samples, standardised within each group; int32 group and pair positions)
and return named columns: pair or feature positions and the native arrays,
with the permutation counts ``extreme`` (cycles at least as extreme as the
observed statistic) and ``valid`` (cycles in which it was defined).
"""

from __future__ import annotations

import dataclasses

import numpy as np
from scipy import stats

from . import _core
from .options import available_cpus
from .pairs import block_pairs, rectangle_pairs
from .progress import progress_bar

ZTEST_COLUMNS = ("first", "second", "r1", "r2", "z_diff", "p_normal", "extreme", "valid")
SCORE_COLUMNS = ("feature", "score", "extreme", "valid")
UNIT_COLUMNS = ("score", "extreme", "valid")

#: The seed of the engine's permutation stream when none is given: results
#: are reproducible by default.
DEFAULT_SEED = 733

#: The normal approximation's standard error 1/sqrt(n - 3) needs more samples than this.
FEWEST_FOR_NORMAL = 3


@dataclasses.dataclass(frozen=True)
class Dealing:
    """How the permutation cycles split the samples into groups.

    ``strata`` (one int32 per column of the matrix, or None) keeps each
    stratum's counts of group-1 and group-2 samples; ``seed`` seeds the
    dealings (None: the engine's fixed default stream); ``exact`` runs every
    split of the samples other than the observed one once instead, the
    permutation count being their number (see :mod:`corrshift.design`);
    ``first_cycle`` makes a call's cycles the seed's numbered cycles
    ``first_cycle + 1`` onwards (a later round of the same permutations).
    """

    strata: np.ndarray | None = None
    seed: int | None = None
    exact: bool = False
    first_cycle: int = 0

    def keywords(self) -> dict:
        """The keyword arguments of ``corrshift._core``'s functions."""
        words = {"strata": self.strata, "exact": self.exact, "first_cycle": self.first_cycle}
        if self.seed is not None:
            words["seed"] = self.seed
        return words


def _pairs(pairs) -> tuple[np.ndarray, np.ndarray]:
    return tuple(np.ascontiguousarray(p, dtype=np.int32) for p in pairs)


def ztest(matrix: np.ndarray, group1: np.ndarray, group2: np.ndarray, method: str, alternative: str,
          permutations: int, threads: int, pairs=None, progress: bool | None = False,
          dealing: Dealing = Dealing(), positions: bool = True, between: int | None = None,
          same: np.ndarray | None = None) -> dict[str, np.ndarray]:
    """z-test columns (:data:`ZTEST_COLUMNS`) of all pairs, or of the given (first, second) pairs.

    All pairs come in condensed order: (i, j) for i < j, row by row
    (:func:`corrshift.pairs.block_pairs`). ``positions=False`` leaves their
    ``first`` and ``second`` out, for a caller that makes them only when it
    needs them, so that they take no memory while it works on the others.
    ``dealing`` says how the permutation cycles split the samples.
    ``p_normal`` is NaN when a group has only 3 samples, where the normal
    approximation has no standard error. ``progress`` is the option of
    :func:`corrshift.progress.progress_bar` (a bar of permutation cycles).

    ``between`` (a row count KA) tests instead the rectangle between the
    first KA rows and the rows after them, in the order of
    :func:`corrshift.pairs.rectangle_pairs`, with their positions; ``same``
    (one id per row) leaves out the pairs of a row with a row of its id.
    """
    with progress_bar(progress, "Permutations", "cycle") as report:
        if between is not None:
            values = _core.ztest_exhaustive(matrix, group1, group2, method, alternative, permutations, threads,
                                            report, between=between, **dealing.keywords())
            first, second = rectangle_pairs(between, matrix.shape[0] - between)
            if same is not None and (same[first] == same[second]).any():
                # A feature on both sides is not paired with itself.
                other = same[first] != same[second]
                first, second = first[other], second[other]
                values = [v[other] for v in values]
        elif pairs is None:
            values = _core.ztest_exhaustive(matrix, group1, group2, method, alternative, permutations, threads,
                                            report, **dealing.keywords())
            if not positions:
                return _ztest_columns(ZTEST_COLUMNS[2:], values, group1, group2)
            k = matrix.shape[0]
            first, second = block_pairs(0, k, k, False)
        else:
            first, second = _pairs(pairs)
            values = _core.ztest_indexed(matrix, first, second, group1, group2, method, alternative,
                                         permutations, threads, report, **dealing.keywords())
    return _ztest_columns(ZTEST_COLUMNS, (first, second, *values), group1, group2)


def ztest_groups(matrix: np.ndarray, groups, method: str, permutations: int, threads: int, pairs=None,
                 progress: bool | None = False, dealing: Dealing = Dealing(), contrasts: bool = False,
                 aggregate: str | None = None, starts: np.ndarray | None = None) -> dict[str, np.ndarray]:
    """The test across k groups: per pair each group's correlation and Cochran's Q, with its counts.

    ``groups`` are the k groups' column positions (int32), ``pairs`` given
    (first, second) positions or None for all pairs in condensed order.
    Returns each group's correlations "r0" .. "r<k-1>" (float32), "chi2"
    (Q, float64), "p_normal" (its chi-square upper tail with k - 1 degrees
    of freedom), "extreme" and "valid" (its permutation counts) and, with
    ``contrasts``, "contrast_z",
    "contrast_extreme" and "contrast_valid" (one row per contrast (i, j),
    i < j in order); with ``aggregate`` ("mean" or "median", all pairs
    only) each feature's "score", the aggregate of Q over its pairs, with
    "score_extreme" and "score_valid"; with ``starts`` as well (given
    ``pairs``) each unit's instead, unit u holding the pairs ``starts[u]``
    up to ``starts[u + 1]`` (gene sets). Permutation cycles deal all k groups
    anew (within ``dealing.strata``); ``dealing.exact`` is not available.
    """
    columns = np.ascontiguousarray(np.concatenate(groups), dtype=np.int32)
    sizes = np.array([len(g) for g in groups], dtype=np.int32)
    words = dealing.keywords()
    if words.pop("exact"):
        raise ValueError("the test across groups has no exact form (every split once)")
    first, second = (None, None) if pairs is None else _pairs(pairs)
    with progress_bar(progress, "Permutations", "cycle") as report:
        found = _core.ztest_groups(matrix, columns, sizes, method, permutations, threads, report,
                                   pair_first=first, pair_second=second, contrasts=contrasts,
                                   aggregate=aggregate, unit_starts=None if starts is None else
                                   np.ascontiguousarray(starts, dtype=np.int32), **words)
    # One-dimensional columns, as the chunk engine reduces and joins them.
    named = {f"r{g}": r for g, r in enumerate(found.pop("corr"))}
    named.update(found)
    named["p_normal"] = stats.chi2.sf(found["chi2"], len(groups) - 1)
    return named


def _ztest_columns(names, values, group1, group2) -> dict[str, np.ndarray]:
    columns = dict(zip(names, values))
    if min(len(group1), len(group2)) <= FEWEST_FOR_NORMAL:
        columns["p_normal"] = np.full_like(columns["p_normal"], np.nan)
    return columns


def score(matrix: np.ndarray, group1: np.ndarray, group2: np.ndarray, method: str, aggregate: str,
          alternative: str, permutations: int, threads: int, pairs=None, exclude: np.ndarray | None = None,
          progress: bool | None = False, dealing: Dealing = Dealing(), between: int | None = None,
          same: np.ndarray | None = None) -> dict[str, np.ndarray]:
    """Score columns (:data:`SCORE_COLUMNS`) of every feature, or of the first features of given pairs.

    Given pairs must be sorted by first feature; each run of pairs with the
    same first feature gives one row. Features marked in ``exclude`` (whose
    correlations are undefined in a group) take no part: their rows are NaN
    with no valid cycle, and their pairs are left out of the other
    features' scores, observed and permuted alike (in permuted groups their
    correlations would be defined and enter the null scores, but not the
    observed ones).

    ``between`` (a row count KA) scores every row over its pairs across
    the rectangle of :func:`ztest`'s ``between``: a row of the first KA
    over its pairs with the rows after them, a later row over its pairs
    with the first KA; ``same`` as there.
    """
    k = matrix.shape[0]
    if exclude is None or not exclude.any():
        exclude = None
    with progress_bar(progress, "Permutations", "cycle") as report:
        if between is not None:
            rows = np.arange(k, dtype=np.int32)
            found, values = _side_scores(matrix, group1, group2, method, aggregate, alternative, permutations,
                                         threads, report, dealing, between, same, exclude)
        elif pairs is None:
            rows = np.arange(k, dtype=np.int32)
            kept = rows if exclude is None else rows[~exclude]
            sub = matrix if exclude is None else np.ascontiguousarray(matrix[kept])
            values = _core.score_exhaustive(sub, group1, group2, method, aggregate, alternative, permutations,
                                            threads, report, **dealing.keywords()) if len(kept) else _no_rows(0)
            found = kept
        else:
            first, second = _pairs(pairs)
            rows = first[_run_heads(first)]
            if exclude is not None:
                keep = ~(exclude[first] | exclude[second])
                first, second = np.ascontiguousarray(first[keep]), np.ascontiguousarray(second[keep])
            if len(first):
                found, *values = _core.score_indexed(matrix, first, second, group1, group2, method, aggregate,
                                                     alternative, permutations, threads, report, **dealing.keywords())
            else:
                found, values = first, _no_rows(0)
    if len(found) == len(rows):
        return dict(zip(SCORE_COLUMNS, (rows, *values)))
    # Some features have no pair left: NaN rows, never tested.
    full = _no_rows(len(rows))
    where = np.searchsorted(rows, found)
    for column, part in zip(full, values):
        column[where] = part
    return dict(zip(SCORE_COLUMNS, (rows, *full)))


def _run_heads(first: np.ndarray) -> np.ndarray:
    """Where each run of equal values of ``first`` begins."""
    if not len(first):
        return np.zeros(0, dtype=np.int32)
    return np.concatenate(([0], np.flatnonzero(first[1:] != first[:-1]) + 1)).astype(np.int32)


def _side_scores(matrix, group1, group2, method, aggregate, alternative, permutations, threads, report,
                 dealing: Dealing, between: int, same, exclude):
    """The rows that have pairs across the rectangle of ``between`` and their score columns: each row a unit of
    its pairs with the other side (the pairs of an excluded row, or of a row with one of its ``same`` id, left
    out), listed in the other side's row order."""
    k = matrix.shape[0]
    kept = np.ones(k, dtype=bool) if exclude is None else ~exclude
    kept_a = int(kept[:between].sum())
    overlap = same is not None and len(np.intersect1d(same[:between], same[between:])) > 0
    if not overlap:
        # The engine's rectangle of the kept rows: each row's score over its pairs with the other side.
        rows = np.flatnonzero(kept).astype(np.int32)
        if kept_a == 0 or kept_a == len(rows):
            return rows[:0], _no_rows(0)
        sub = matrix if exclude is None else np.ascontiguousarray(matrix[rows])
        return rows, _core.score_exhaustive(sub, group1, group2, method, aggregate, alternative, permutations,
                                            threads, report, between=kept_a, **dealing.keywords())
    # A feature on both sides: each row a unit of its listed pairs, leaving out its pair with itself.
    first, second = rectangle_pairs(between, k - between, same)
    if exclude is not None:
        keep = ~(exclude[first] | exclude[second])
        first, second = first[keep], second[keep]
    by_b = np.argsort(second, kind="stable")
    owner = np.concatenate([first, second[by_b]])
    partner = np.concatenate([second, first[by_b]])
    if not len(owner):
        return owner, _no_rows(0)
    starts = _run_heads(owner)
    values = _core.score_units(matrix, owner, np.ascontiguousarray(partner), starts, group1, group2, method,
                               aggregate, alternative, permutations, threads, report, **dealing.keywords())
    return owner[starts], values


def score_units(matrix: np.ndarray, group1: np.ndarray, group2: np.ndarray, method: str, aggregate: str,
                alternative: str, permutations: int, threads: int, pairs, starts: np.ndarray,
                progress: bool | None = False, dealing: Dealing = Dealing()) -> dict[str, np.ndarray]:
    """Score columns (:data:`UNIT_COLUMNS`) of units of listed pairs (gene sets).

    Unit u holds the pairs ``starts[u]`` up to ``starts[u + 1]`` (the last
    up to the end) of ``pairs``; its score aggregates their differences, and
    its permutation counts come from the same cycles as every other unit's.
    """
    first, second = _pairs(pairs)
    starts = np.ascontiguousarray(starts, dtype=np.int32)
    with progress_bar(progress, "Permutations", "cycle") as report:
        values = _core.score_units(matrix, first, second, starts, group1, group2, method, aggregate, alternative,
                                   permutations, threads, report, **dealing.keywords())
    return dict(zip(UNIT_COLUMNS, values))


def _no_rows(n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    return (np.full(n, np.nan, dtype=np.float32), np.zeros(n, dtype=np.uint32), np.zeros(n, dtype=np.uint32))


def bh_qvalues(p: np.ndarray) -> np.ndarray:
    """Benjamini-Hochberg q-values of float32 p-values (NaN where undefined), by the engine's radix sort."""
    return _core.bh_qvalues(np.ascontiguousarray(p, dtype=np.float32), available_cpus())


def change_codes(r1: np.ndarray, r2: np.ndarray, bounds1: tuple[float, float], bounds2: tuple[float, float]):
    """Class codes 4 * side1 + side2 of float32 correlations from bounds on |r| (-1 where one is undecided)."""
    return _core.change_codes(r1, r2, bounds1, bounds2, available_cpus())


def kernel_builds() -> dict:
    """The engine's kernel builds as its run-time choice sees them: the active one and how it was chosen, those
    compiled in and those the CPU runs, the CPU features tested (see ``_core.pyi``)."""
    return _core.kernel_builds()
