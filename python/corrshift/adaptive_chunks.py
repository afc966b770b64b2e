"""``permutations="auto"`` in chunks: a first pass per chunk, a second over the survivors.

A row's decision under the rejection rule of :mod:`corrshift.adaptive`
needs the Benjamini-Hochberg threshold over every tested row, which no
chunk sees. So a run in chunks goes in two passes:

1. Every chunk (here, or as a Dask task) runs the rounds of one call on
   its own rows, stopping them by their losses (h = 10) only, up to the
   round end c1 of :func:`corrshift.adaptive.screen_cycles` (the first
   from 1,000 cycles on, or ``max_permutations`` if smaller: a round end,
   so that the second pass goes on with the rounds of one call). Rows
   under the null hypothesis stop after h (1 + ln(c1 / h)) cycles on
   average; the rows still running at c1 (fewer than h losses: about
   h / c1 of the null rows, and the strong ones) are the survivors, sent
   back with their counts. The stopped rows are final: they are reduced
   chunk by chunk as a fixed count's rows are (``top``, ``max_p``, a
   folder ``out``), and their p-values tallied for the q-values.
2. In the calling process the survivors of all chunks go on from cycle c1
   with the rounds of one call, under the rejection rule over all N tested
   rows: their own p-values and those of the stopped rows at most ``fdr``
   (the others cannot change the threshold).

Guarantee: a stop by losses depends on the row's own cycles only, so every
row's p-value stays anytime-valid (Besag-Clifford), and the decisions are
Benjamini-Hochberg's on the final p-values (``q_permutation`` over all
tested rows), as in one call. A row that the first pass stopped has the
p-value and cycles of one call unless one call had stopped it earlier as
rejected; the rounds end at the same cycles, so a row that ran c cycles
holds the counts of a fixed run of c. The second pass's threshold is at
least one call's at the same cycle (no row's p-value is larger there), so
a survivor may stop sooner as rejected, with a larger (still valid)
p-value.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from .adaptive import AdaptiveRun, resume_adaptive
from .adaptive_runs import round_reporter, round_runner
from .chunk_engine import ChunkedResult, Job, concat_rows, take_rows, top_rows
from .options import available_cpus
from .progress import progress_bar
from .pvalues import PValueTally


def finish_survivors(data: np.ndarray, job: Job, pairs, result: ChunkedResult, threads: int | None, progress,
                     sink=None) -> ChunkedResult:
    """Run the second pass over ``result.survivors`` and merge them with the stopped rows.

    ``pairs``: the run's given pairs (None for all pairs). The survivors
    join the kept rows as the chunks' rows would (all rows or those under
    ``max_p`` in row order, or the ``top`` best); with a ``sink`` they are
    its last part, ``sink(result.chunks, rows)``, sorted by row (so the
    dataset's pair order holds within each part, the survivors coming
    last). The result's ``tally``, ``rounds`` and ``row_cycles`` then cover
    both passes.
    """
    survivors = result.survivors
    rounds = result.rounds
    if len(survivors["row"]):
        state = _resumed(data, job, pairs, result, threads or available_cpus(), progress)
        survivors.update(extreme=state.extreme, valid=state.valid, p_permutation=state.p, cycles=state.cycles)
        # The second pass' first entry, after the rule at c1, replaces the first passes' last.
        rounds = [r for r in rounds if r[0] < state.rounds[0][0]] + state.rounds
    row_cycles = result.row_cycles + int(survivors["cycles"].sum())
    p = survivors["p_permutation"]
    tested = ~np.isnan(p)
    if job.max_p is not None:
        survivors = take_rows(survivors, tested & (p <= job.max_p))
    columns = result.columns
    if sink is not None:
        if len(survivors["row"]):
            sink(result.chunks, survivors)
    elif job.top is not None:
        columns = top_rows(concat_rows([columns, survivors], job.columns), job)
        columns.pop("row")
    elif len(survivors["row"]):
        merged = concat_rows([columns, survivors], job.columns)
        columns = take_rows(merged, np.argsort(merged["row"], kind="stable"))
    return dataclasses.replace(result, columns=columns, survivors=None, tally=result.tally + PValueTally.of(p[tested]),
                               rounds=rounds, row_cycles=row_cycles)


def _resumed(data, job: Job, pairs, result: ChunkedResult, threads: int, progress) -> AdaptiveRun:
    """The second pass (:func:`corrshift.adaptive.resume_adaptive`) over the survivors."""
    survivors = result.survivors
    n = len(survivors["row"])
    state = AdaptiveRun(survivors["extreme"].astype(np.int64), survivors["valid"].astype(np.int64),
                        survivors["p_permutation"].copy(), survivors["cycles"].copy(), np.ones(n, bool))
    small = result.tally.values <= job.adaptive.fdr
    outside = np.repeat(result.tally.values[small], result.tally.counts[small])
    run = round_runner(data, job, survivors, pairs, threads)
    with progress_bar(progress, "Permutations (auto)", "cycle") as bar:
        return resume_adaptive(run, state, job.adaptive.screen, job.adaptive.fdr, job.adaptive.cap, result.tested,
                               outside, round_reporter(bar))
