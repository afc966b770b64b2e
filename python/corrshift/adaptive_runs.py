"""The analyses' rounds of adaptive permutations on the engine (see :mod:`corrshift.adaptive`).

Each round runs only the rows still running: their pairs are compacted to
the features they use, and run as the dense block of those features where
they fill enough of it, as listed pairs otherwise.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from . import native
from .adaptive import (CHUNK_DENSE, LOSSES, AdaptiveRun, RoundRunner, call_threads, compact_pairs, condensed_rows,
                       pair_plan, pair_rows, run_adaptive)
from .progress import progress_bar


def _pair_counts(matrix, first, second, count, threads, dealing, start, cycles, most_dense=None):
    """Counts of pairs (first, second) of ``matrix`` over cycles start + 1 .. start + cycles: each dense
    block of :func:`corrshift.adaptive.pair_plan` (of at most ``most_dense`` pairs) in a call of its own, the
    rest listed in one call, each on the features it uses. ``count(sub, pairs, threads, cycles, dealing)``
    is the native call over the rows ``sub`` (all their pairs where ``pairs`` is None)."""
    extreme, valid = np.empty(len(first), np.int64), np.empty(len(first), np.int64)
    dealt = dataclasses.replace(dealing, first_cycle=start)
    dense, rest = pair_plan(first, second, most_dense)
    for members, as_block in [(g, True) for g in dense] + ([(rest, False)] if len(rest) else []):
        used, a, b = compact_pairs(first[members], second[members])
        sub = np.ascontiguousarray(matrix[used])
        low, high = np.minimum(a, b), np.maximum(a, b)
        if as_block and not np.any(low == high):
            block = len(used) * (len(used) - 1) // 2
            columns = count(sub, None, call_threads(threads, 0, block), cycles, dealt)
            rows = condensed_rows(low, high, len(used))
            extreme[members], valid[members] = columns["extreme"][rows], columns["valid"][rows]
        else:
            columns = count(sub, (a, b), call_threads(threads, len(a), 0), cycles, dealt)
            extreme[members], valid[members] = columns["extreme"], columns["valid"]
    return extreme, valid


def pair_runner(matrix, group1, group2, pairs_of, method: str, alternative: str, threads: int,
                dealing: native.Dealing, most_dense: int | None = None) -> RoundRunner:
    """The z-test rounds of rows whose pairs ``pairs_of(rows)`` gives (first, second); dense blocks of at
    most ``most_dense`` pairs."""
    def count(sub, pairs, call_threads, cycles, dealt):
        return native.ztest(sub, group1, group2, method, alternative, cycles, call_threads, pairs=pairs,
                            dealing=dealt, positions=False)

    def run(rows, start, cycles):
        return _pair_counts(matrix, *pairs_of(rows), count, threads, dealing, start, cycles, most_dense)

    return run


def groups_runner(matrix, groups, pairs_of, method: str, threads: int, dealing: native.Dealing) -> RoundRunner:
    """The rounds of the test across groups (``groups``: each group's columns) of rows whose pairs
    ``pairs_of(rows)`` gives."""
    def count(sub, pairs, call_threads, cycles, dealt):
        return native.ztest_groups(sub, groups, method, cycles, call_threads, pairs=pairs, dealing=dealt)

    def run(rows, start, cycles):
        return _pair_counts(matrix, *pairs_of(rows), count, threads, dealing, start, cycles)

    return run


def ztest_auto(prep, pairs, method: str, alternative: str, threads: int, progress, dealing: native.Dealing,
               fdr: float, cap: int) -> dict[str, np.ndarray]:
    """The z-test columns of all pairs (or the given ones) with adaptive permutations.

    As :func:`corrshift.native.ztest` (all pairs without positions), with
    the counts of the cycles each row ran, ``p_permutation`` (the
    anytime-valid p-values) and ``cycles``.
    """
    matrix, group1, group2 = prep.matrix, prep.group1, prep.group2
    with progress_bar(progress, "Permutations (auto)", "row") as bar:
        columns = native.ztest(matrix, group1, group2, method, alternative, min(LOSSES, cap), threads,
                               pairs=pairs, dealing=dealing, positions=False)
        run = pair_runner(matrix, group1, group2, _pairs_of(pairs, matrix.shape[0]), method, alternative, threads,
                          dealing)
        state = run_adaptive(run, (columns["extreme"], columns["valid"]), ~np.isnan(columns["z_diff"]), fdr, cap,
                             round_reporter(bar))
    return with_state(columns, state)


def groups_auto(prep, pairs, method: str, threads: int, progress, dealing: native.Dealing, fdr: float,
                cap: int) -> dict[str, np.ndarray]:
    """The columns of the test across groups of all pairs (or the given ones) with adaptive permutations,
    as :func:`ztest_auto` makes the z-test's."""
    matrix = prep.matrix
    with progress_bar(progress, "Permutations (auto)", "row") as bar:
        columns = native.ztest_groups(matrix, prep.groups, method, min(LOSSES, cap), threads, pairs=pairs,
                                      dealing=dealing)
        run = groups_runner(matrix, prep.groups, _pairs_of(pairs, matrix.shape[0]), method, threads, dealing)
        state = run_adaptive(run, (columns["extreme"], columns["valid"]), ~np.isnan(columns["chi2"]), fdr, cap,
                             round_reporter(bar))
    return with_state(columns, state)


def _pairs_of(pairs, features: int):
    """``pairs_of(rows)``: the (first, second) rows of the given rows of all pairs of ``features`` rows in
    condensed order, or of the given ``pairs``."""
    if pairs is None:
        return lambda rows: pair_rows(rows, features)
    return lambda rows: (pairs[0][rows], pairs[1][rows])


def round_reporter(bar):
    """``report(cycles, running, tested)`` of :func:`corrshift.adaptive.run_adaptive` for a progress bar:
    the bar counts the rows decided, and shows the cycles so far."""
    if bar is None:
        return None
    return lambda cycles, running, tested: bar(tested - running, tested, cycles=f"{cycles:,}")


def with_state(columns: dict, state: AdaptiveRun) -> dict[str, np.ndarray]:
    """``columns`` with the counts, ``p_permutation`` and ``cycles`` of an adaptive run (and its ``rounds``)."""
    columns["extreme"], columns["valid"] = state.extreme, state.valid
    columns["p_permutation"] = state.p
    columns["cycles"] = state.cycles
    columns["rounds"] = state.rounds
    return columns


def _unit_counts(matrix, units, count, threads, dealing, start, cycles):
    """Counts of units (first, second, starts) of pairs of ``matrix`` over cycles start + 1 .. start + cycles,
    by ``count(sub, pairs, starts, threads, cycles, dealing)``, the native call over the rows ``sub`` (its
    units' counts as "extreme" and "valid")."""
    first, second, starts = units
    used, a, b = compact_pairs(first, second)
    columns = count(np.ascontiguousarray(matrix[used]), (a, b), starts, call_threads(threads, len(a), 0), cycles,
                    dataclasses.replace(dealing, first_cycle=start))
    return columns["extreme"], columns["valid"]


def _listed_units(first: np.ndarray, second: np.ndarray, starts: np.ndarray, ends: np.ndarray | None = None):
    """``units_of(rows)``: the pairs of the given units among units of listed pairs, as units (unit u: the
    pairs ``starts[u]`` up to ``ends[u]``, by default the next unit's start)."""
    if ends is None:
        ends = np.append(starts[1:], len(first))

    def units_of(rows):
        lengths = ends[rows] - starts[rows]
        take = np.concatenate([np.arange(starts[r], ends[r]) for r in rows])
        return first[take], second[take], np.concatenate(([0], np.cumsum(lengths)[:-1])).astype(np.int32)

    return units_of


def _feature_units(features: np.ndarray, kept: np.ndarray):
    """``units_of(rows)``: the pairs of each row's feature with every other kept feature, as units."""
    def units_of(rows):
        f = features[rows].astype(np.int32)
        first, second = np.repeat(f, len(kept)), np.tile(kept.astype(np.int32), len(f))
        other = first != second
        return first[other], second[other], (np.arange(len(f)) * (len(kept) - 1)).astype(np.int32)

    return units_of


def side_units_of(features: np.ndarray, count_a: int, exclude: np.ndarray, same: np.ndarray | None):
    """``units_of(rows)`` for score rows of ``features``, rows of a matrix whose first ``count_a`` rows are
    one side and the others the other (see :mod:`corrshift.between`): each with every row of the other side
    not in ``exclude`` nor of its own ``same`` id, in row order, as the first round counts them."""
    kept = np.flatnonzero(~exclude).astype(np.int32)
    sides = (kept[kept >= count_a], kept[kept < count_a])  # the partners of a row of side A, of side B

    def units_of(rows):
        owners = features[rows]
        partners = [sides[int(f >= count_a)] for f in owners]
        if same is not None:
            partners = [p[same[p] != same[f]] for p, f in zip(partners, owners)]
        lengths = np.array([len(p) for p in partners], dtype=np.int64)
        first = np.repeat(owners.astype(np.int32), lengths)
        return first, np.concatenate(partners), np.concatenate(([0], np.cumsum(lengths)[:-1])).astype(np.int32)

    return units_of


def score_units_of(features: np.ndarray, pairs, exclude: np.ndarray):
    """``units_of(rows)`` for score rows of ``features``: each with every other feature not in ``exclude``
    (all pairs), or with its given pairs (sorted by first feature) without those of excluded features, as
    the first round counts them."""
    if pairs is None:
        return _feature_units(features, np.flatnonzero(~exclude))
    first, second = pairs
    keep = ~(exclude[first] | exclude[second])
    first, second = first[keep], second[keep]
    return _listed_units(first, second, np.searchsorted(first, features), np.searchsorted(first, features, "right"))


def unit_runner(matrix, group1, group2, units_of, method: str, aggregate: str, alternative: str, threads: int,
                dealing: native.Dealing) -> RoundRunner:
    """The score rounds of rows whose units ``units_of(rows)`` gives (first, second, starts)."""
    def count(sub, pairs, starts, call_threads, cycles, dealt):
        return native.score_units(sub, group1, group2, method, aggregate, alternative, cycles, call_threads, pairs,
                                  starts, dealing=dealt)

    def run(rows, start, cycles):
        return _unit_counts(matrix, units_of(rows), count, threads, dealing, start, cycles)

    return run


def groups_unit_runner(matrix, groups, units_of, method: str, aggregate: str, threads: int,
                       dealing: native.Dealing) -> RoundRunner:
    """The rounds of scores across groups (``groups``: each group's columns) of rows whose units
    ``units_of(rows)`` gives."""
    def count(sub, pairs, starts, call_threads, cycles, dealt):
        found = native.ztest_groups(sub, groups, method, cycles, call_threads, pairs=pairs, dealing=dealt,
                                    aggregate=aggregate, starts=starts)
        return {"extreme": found["score_extreme"], "valid": found["score_valid"]}

    def run(rows, start, cycles):
        return _unit_counts(matrix, units_of(rows), count, threads, dealing, start, cycles)

    return run


def groups_score_auto(prep, method: str, aggregate: str, threads: int, progress, dealing: native.Dealing,
                      fdr: float, cap: int) -> dict[str, np.ndarray]:
    """The scores across groups of the features of ``prep`` whose correlations are defined in every group,
    over all their pairs with one another, with adaptive permutations: "feature" (rows of ``prep.matrix``),
    "score", the counts, "p_permutation" and "cycles"."""
    kept = np.flatnonzero(~prep.undefined)
    matrix = np.ascontiguousarray(prep.matrix[kept])
    with progress_bar(progress, "Permutations (auto)", "row") as bar:
        found = native.ztest_groups(matrix, prep.groups, method, min(LOSSES, cap), threads, dealing=dealing,
                                    aggregate=aggregate)
        columns = {"feature": kept, "score": found["score"], "extreme": found["score_extreme"],
                   "valid": found["score_valid"]}
        local = np.arange(len(kept))
        run = groups_unit_runner(matrix, prep.groups, _feature_units(local, local), method, aggregate, threads,
                                 dealing)
        state = run_adaptive(run, (columns["extreme"], columns["valid"]), ~np.isnan(columns["score"]), fdr, cap,
                             round_reporter(bar))
    return with_state(columns, state)


def _run_units(prep, units_of, columns, method, aggregate, alternative, threads, bar, dealing, fdr, cap):
    run = unit_runner(prep.matrix, prep.group1, prep.group2, units_of, method, aggregate, alternative, threads,
                      dealing)
    state = run_adaptive(run, (columns["extreme"], columns["valid"]), ~np.isnan(columns["score"]), fdr, cap,
                         round_reporter(bar))
    return with_state(columns, state)


def score_auto(prep, pairs, method: str, aggregate: str, alternative: str, threads: int, progress,
               dealing: native.Dealing, fdr: float, cap: int) -> dict[str, np.ndarray]:
    """The score columns of every feature (or of the first features of given pairs, sorted by first feature)
    with adaptive permutations, as :func:`ztest_auto` gives the z-test's."""
    with progress_bar(progress, "Permutations (auto)", "row") as bar:
        columns = native.score(prep.matrix, prep.group1, prep.group2, method, aggregate, alternative,
                               min(LOSSES, cap), threads, pairs=pairs, exclude=prep.undefined, dealing=dealing,
                               **prep.across)
        if prep.sides is None:
            units_of = score_units_of(columns["feature"], pairs, prep.undefined)
        else:
            units_of = side_units_of(columns["feature"], prep.sides.count_a, prep.undefined, prep.sides.same)
        return _run_units(prep, units_of, columns, method, aggregate, alternative, threads, bar, dealing, fdr, cap)


def set_auto(prep, units, method: str, aggregate: str, alternative: str, threads: int, progress,
             dealing: native.Dealing, fdr: float, cap: int) -> dict[str, np.ndarray]:
    """The score columns of units (first, second, starts) of listed pairs (gene sets) with adaptive
    permutations."""
    first, second, starts = units
    with progress_bar(progress, "Permutations (auto)", "row") as bar:
        columns = native.score_units(prep.matrix, prep.group1, prep.group2, method, aggregate, alternative,
                                     min(LOSSES, cap), threads, (first, second), starts, dealing=dealing)
        return _run_units(prep, _listed_units(first, second, starts), columns, method, aggregate, alternative,
                          threads, bar, dealing, fdr, cap)


# ---------------------------------------------------------------------------
# In chunks (see corrshift.adaptive_chunks)


def round_runner(matrix, job, columns: dict, pairs, threads: int) -> RoundRunner:
    """The rounds of the rows of ``columns`` (a chunk's rows, or the chunks' survivors) of a chunk
    :class:`~corrshift.chunk_engine.Job`: z-tests over the rows' pairs (``first``, ``second``), scores of
    the rows' features over all pairs (``pairs`` None) or over the given ``pairs`` that start with them.
    A dense block holds at most :data:`corrshift.adaptive.CHUNK_DENSE` times the rows' pairs."""
    if job.analysis.per_feature:
        exclude = job.exclude if job.exclude is not None else np.zeros(matrix.shape[0], bool)
        units_of = (score_units_of(columns["feature"], pairs, exclude) if job.between is None
                    else side_units_of(columns["feature"], job.between, exclude, job.same))
        return unit_runner(matrix, job.group1, job.group2, units_of, job.method, job.aggregate, job.alternative,
                           threads, job.dealing)
    first, second = columns["first"], columns["second"]
    return pair_runner(matrix, job.group1, job.group2, lambda rows: (first[rows], second[rows]), job.method,
                       job.alternative, threads, job.dealing, CHUNK_DENSE * len(first))


def screen_chunk(matrix, job, columns: dict, pairs, threads: int) -> AdaptiveRun:
    """A chunk's first pass (:func:`corrshift.adaptive.run_adaptive` with ``screen``) from the native columns
    of its first round (``job.adaptive.cap`` cycles at most, :data:`LOSSES`)."""
    tested = ~np.isnan(columns[job.analysis.statistic])
    return run_adaptive(round_runner(matrix, job, columns, pairs, threads), (columns["extreme"], columns["valid"]),
                        tested, job.adaptive.fdr, job.adaptive.cap, screen=job.adaptive.screen)
