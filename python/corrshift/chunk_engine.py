"""Pairs in chunks: all pairs of a large matrix with bounded memory.

The native functions hold every pair of a call in memory at once (tens of
bytes per pair), which rules out all pairs of tens of thousands of
features. The permutations of a call depend only on the number
of samples and the cycle number, never on the pairs, so a chunk of pairs
computed on its own by an indexed native function gets exactly the values it
gets inside one call over all pairs. This module cuts the pairs into chunks,
runs each chunk as one native call (one after another in this process, or as
tasks on a Dask cluster), and reduces each chunk's rows before the next
arrive: the k best rows (``top``), the rows under a p-value threshold
(``max_p``), or every row handed to a sink (a Parquet writer) instead of being
kept.

Chunks follow the pair order of the single call:

- z-tests over all pairs: blocks of first features ``[a, b)`` with the pairs
  ``(i, j)``, ``i < j``, in condensed order;
- scores over all pairs: blocks of features, each feature ``i`` with the pairs
  ``(i, j)`` for every ``j != i`` in increasing ``j``, so every feature's run
  of pairs is complete (the indexed score of such a run equals the exhaustive
  score bit for bit, as correlations are symmetric in the two rows);
- given pairs: slices of the given list; for scores, slices end only where
  the first feature changes, so no run of pairs is split.

Everything here works on prepared native inputs: a C-contiguous float32
matrix (features x samples, only the analysed samples), int32 group index
arrays, option strings and counts. Rows of results are dictionaries of
equal-length numpy arrays, holding feature indices and the native values
(:mod:`corrshift.native`; ``extreme`` and ``valid`` count the permutation
cycles at least as extreme as the observed statistic, and those in which it
was defined).
"""

from __future__ import annotations

import dataclasses
import sys
import time
import uuid
from collections.abc import Callable, Iterable
from concurrent.futures import CancelledError  # Dask's cancellations derive from it

import numpy as np

from . import native
from .adaptive import Adaptive, screen_cost
from .adaptive_runs import screen_chunk, with_state
from .analyses import Analysis, analysis_of, groups_columns
from .options import INT32_MAX, available_cpus
from .pairs import block_pairs, pairs_per_first
from .pvalues import EMPTY_TALLY, PValueTally, tally_by_extreme, tested_counts
from .tables import column_pvalues, statistic

#: Most pairs per chunk when the caller does not choose: some 100 MB of
#: native working memory for a z-test chunk.
MAX_DEFAULT_CHUNK_PAIRS = 1 << 22
#: Fewest pairs per chunk when the caller does not choose: below this the
#: per-call costs (planning, packing, the table rows) start to show, while
#: 1,024 pairs with 100,000 permutations over 200 samples still take only
#: about a second on one thread of a current CPU.
MIN_DEFAULT_CHUNK_PAIRS = 1 << 10
#: Seconds a chunk should take when the caller does not choose: well under a
#: minute, so that a chunk lost with its Dask worker costs little to run
#: again and a task never runs near the scheduler's patience.
CHUNK_SECONDS = 10.0

#: The types of columns other than the engine's float32 values (those of an empty table).
_COLUMN_TYPES = {"first": np.int32, "second": np.int32, "feature": np.int32, "extreme": np.uint32,
                 "valid": np.uint32, "p_permutation": np.float64, "cycles": np.int64, "row": np.int64}

#: The columns an "auto" chunk adds to the engine's: its anytime-valid p-values, cycles and row numbers.
ADAPTIVE_COLUMNS = ("p_permutation", "cycles", "row")



@dataclasses.dataclass(frozen=True)
class Job:
    """What every chunk of one run computes and how its rows are reduced."""

    analysis: Analysis
    features: int
    group1: np.ndarray
    group2: np.ndarray
    method: str
    alternative: str
    aggregate: str | None
    permutations: int
    threads: int | None
    top: int | None
    max_p: float | None
    #: Scores: features whose correlations are undefined in a group; they
    #: take no part in any score (see :func:`corrshift.native.score`).
    exclude: np.ndarray | None = None
    #: How the permutation cycles split the samples (see :class:`corrshift.native.Dealing`).
    dealing: native.Dealing = native.Dealing()
    #: ``permutations="auto"``: every chunk runs its first pass (``permutations`` is then the first round's
    #: cycles), see :mod:`corrshift.adaptive_chunks`.
    adaptive: Adaptive | None = None
    #: Between two sets (see :mod:`corrshift.between`): the matrix' rows of set A, its first rows (set B's
    #: follow); the run covers the rectangle between them instead of all pairs.
    between: int | None = None
    #: With ``between``: one id per matrix row where a feature is in both sets (its pair with itself is left out).
    same: np.ndarray | None = None
    #: The test across groups: each group's columns of the matrix.
    groups: tuple[np.ndarray, ...] | None = None

    @property
    def columns(self) -> tuple[str, ...]:
        """The columns of a chunk's rows."""
        names = self.analysis.native_columns if self.groups is None else groups_columns(len(self.groups))
        return names if self.adaptive is None else names + ADAPTIVE_COLUMNS


@dataclasses.dataclass(frozen=True)
class Chunk:
    """One chunk of pairs.

    ``lo``/``hi`` delimit a block of first features ``[lo, hi)`` when the run
    covers all pairs (between two sets: a block of one set's rows, with
    every row of the other set), or a slice ``[lo, hi)`` of the given pair
    list. ``row``
    is the position of the chunk's first result row in the full table.
    """

    index: int
    lo: int
    hi: int
    row: int


@dataclasses.dataclass
class ChunkedResult:
    """Outcome of a chunked run.

    Attributes
    ----------
    columns : dict of str to ndarray, or None
        The kept rows: all rows in pair order, the rows under ``max_p`` in
        pair order, or the ``top`` rows best first. None when a sink took
        the rows.
    tally : PValueTally
        The permutation p-values of all tested rows of the run, kept or
        not: enough for their exact Benjamini-Hochberg q-values
        (:meth:`corrshift.pvalues.PValueTally.qvalues`).
    tested : int
        Number of rows with a defined statistic (see :func:`tested_rows`).
    rows : int
        Number of rows of the full table, kept or not.
    chunks : int
        Number of chunks computed.
    survivors : dict of str to ndarray, or None
        ``permutations="auto"``: the rows still running after the chunks'
        first passes (with their row numbers ``row``), which ``columns``,
        ``tally`` and ``row_cycles`` leave out; ``tested`` then counts the
        rows with a defined statistic, N of the rejection rule.
    rounds : list
        ``permutations="auto"``: after each round of the first passes, the
        cycles so far and the rows of all chunks still running.
    row_cycles : int
        ``permutations="auto"``: the cycles of the rows in ``columns``.
    """

    columns: dict[str, np.ndarray] | None
    tally: PValueTally
    tested: int
    rows: int
    chunks: int
    survivors: dict[str, np.ndarray] | None = None
    rounds: list = dataclasses.field(default_factory=list)
    row_cycles: int = 0


# ---------------------------------------------------------------------------
# Planning


#: (seconds per pair-cycle, seconds per pair-sample-cycle) of one native
#: thread, measured by :func:`pair_cycle_seconds` once per process.
_cost: tuple[float, float] | None = None


def _time_per_pair_cycle(features: int, samples: int, permutations: int) -> float:
    data = np.random.default_rng(0).normal(size=(features, samples)).astype(np.float32)
    group1 = np.arange(samples // 2, dtype=np.int32)
    group2 = np.arange(samples // 2, samples, dtype=np.int32)
    pairs = block_pairs(0, features, features, False)
    best = np.inf
    for _ in range(2):
        start = time.perf_counter()
        native.ztest(data, group1, group2, "pearson", "two-sided", permutations, 1, pairs=pairs)
        best = min(best, time.perf_counter() - start)
    return best / (len(pairs[0]) * (permutations + 1))


def pair_cycle_seconds(samples: int) -> float:
    """Seconds one native thread spends on one pair in one cycle over ``samples`` columns.

    The cost of a pair-cycle is a fixed part plus a part per sample (the
    pair-samples times cycles a thread computes per second). Both are
    measured once per process, by timing small z-tests over 16 and 128
    samples (some tens of milliseconds); later calls use the cached figures.
    Real runs come out within about twice the estimate (their matrices are
    larger than the timed ones).

    Parameters
    ----------
    samples : int
        Columns of the matrix.

    Returns
    -------
    float
    """
    global _cost
    if _cost is None:
        few, many = 16, 128
        at_few, at_many = (_time_per_pair_cycle(192, n, 40) for n in (few, many))
        per_sample = max((at_many - at_few) / (many - few), 0.0)
        _cost = (max(at_few - few * per_sample, 0.0), per_sample)
    fixed, per_sample = _cost
    return max(fixed + per_sample * samples, 1e-12)


def default_chunk_pairs(samples: int, permutations: float, threads: int = 1) -> int:
    """Pairs per chunk for a run over ``samples`` columns and ``permutations`` cycles.

    The pairs one task computes in about :data:`CHUNK_SECONDS` with
    ``threads`` native threads, at the measured :func:`pair_cycle_seconds`,
    within [:data:`MIN_DEFAULT_CHUNK_PAIRS`, :data:`MAX_DEFAULT_CHUNK_PAIRS`].

    Parameters
    ----------
    samples : int
        Columns of the matrix.
    permutations : float
        Permutation cycles of a row (the observed cycle comes on top).
    threads : int
        Native threads of one task.

    Returns
    -------
    int
    """
    seconds_per_pair = (permutations + 1) * pair_cycle_seconds(samples) / max(threads, 1)
    pairs = CHUNK_SECONDS / seconds_per_pair
    return int(min(MAX_DEFAULT_CHUNK_PAIRS, max(MIN_DEFAULT_CHUNK_PAIRS, pairs)))


def plan_all_pairs(features: int, analysis: Analysis, chunk_pairs: int) -> list[Chunk]:
    """Blocks of first features holding about ``chunk_pairs`` pairs each.

    A block holds at least one feature, whatever its pair count, so pairs
    that share a first feature stay together. Blocks without pairs (the last
    feature of a z-test) are merged into the block before them.
    """
    return _feature_blocks(pairs_per_first(features, analysis.per_feature), analysis.per_feature, chunk_pairs)


def _feature_blocks(counts: np.ndarray, per_feature: bool, chunk_pairs: int, offset: int = 0,
                    first_index: int = 0) -> list[Chunk]:
    """Blocks of consecutive rows ``offset + i`` holding about ``chunk_pairs`` pairs each (row i has
    ``counts[i]``); chunks numbered from ``first_index``, results numbered by feature (``per_feature``) or
    by pair."""
    ends = np.cumsum(counts)
    chunks: list[Chunk] = []
    a = 0
    while a < len(counts):
        before = int(ends[a - 1]) if a else 0
        b = max(int(np.searchsorted(ends, before + chunk_pairs, side="right")), a + 1)
        if ends[b - 1] > before or per_feature:
            row = offset + a if per_feature else before
            chunks.append(Chunk(first_index + len(chunks), offset + a, offset + b, row))
        a = b
    return chunks


def plan_rectangle(features: int, count_a: int, same: np.ndarray | None, analysis: Analysis,
                   chunk_pairs: int) -> list[Chunk]:
    """Blocks of set A's rows (the first ``count_a`` of ``features``), each with every row of set B, holding
    about ``chunk_pairs`` pairs each; for scores, then blocks of set B's rows, each with every row of set A
    (a score covers all of a row's pairs). ``same`` as in :class:`Job`."""
    partners = np.concatenate([np.full(count_a, features - count_a), np.full(features - count_a, count_a)])
    if same is not None:
        partners -= np.concatenate([np.isin(same[:count_a], same[count_a:]),
                                    np.isin(same[count_a:], same[:count_a])])
    chunks = _feature_blocks(partners[:count_a], analysis.per_feature, chunk_pairs)
    if analysis.per_feature:
        chunks += _feature_blocks(partners[count_a:], True, chunk_pairs, count_a, len(chunks))
    return chunks


def run_starts(pair_first: np.ndarray) -> np.ndarray:
    """Positions where a run of pairs with the same first feature begins."""
    n = len(pair_first)
    if n == 0:
        return np.zeros(0, dtype=np.int64)
    change = np.flatnonzero(pair_first[1:] != pair_first[:-1]) + 1
    return np.concatenate(([0], change)).astype(np.int64)


def plan_given_pairs(pair_first: np.ndarray, analysis: Analysis, chunk_pairs: int) -> list[Chunk]:
    """Slices of a given pair list holding about ``chunk_pairs`` pairs each.

    For scores the list must be sorted by first feature; slices then end only
    where a run ends, a run longer than ``chunk_pairs`` making a slice of its
    own.
    """
    n = len(pair_first)
    if not analysis.per_feature:
        bounds = list(range(0, n, chunk_pairs)) + [n]
        return [Chunk(i, lo, hi, lo) for i, (lo, hi) in enumerate(zip(bounds[:-1], bounds[1:]))]
    if np.any(pair_first[1:] < pair_first[:-1]):
        raise ValueError("scores over given pairs need the pairs sorted by first feature")
    starts = np.append(run_starts(pair_first), n)
    runs = len(starts) - 1
    chunks: list[Chunk] = []
    i = 0
    while i < runs:
        lo = int(starts[i])
        j = max(int(np.searchsorted(starts, lo + chunk_pairs, side="right")) - 1, i + 1)
        chunks.append(Chunk(len(chunks), lo, int(starts[j]), i))
        i = j
    return chunks


# ---------------------------------------------------------------------------
# One chunk


def task_threads() -> int:
    """Native threads for a chunk when the caller does not choose.

    On a Dask worker, the worker's own thread count (its share of the
    machine); elsewhere the CPUs this process may use.
    """
    if "distributed" in sys.modules:
        from distributed import get_worker

        try:
            return get_worker().state.nthreads
        except ValueError:  # not running as a Dask task
            pass
    return available_cpus()


def _task_threads(job: Job, client) -> int:
    """The native threads one task will use: the job's, a worker's share of the cluster, or this process'."""
    if job.threads:
        return job.threads
    if client is None:
        return available_cpus()
    return min(client.nthreads().values(), default=1)


def _native_rows(data: np.ndarray, job: Job, chunk: Chunk, first, second) -> dict[str, np.ndarray]:
    return job.analysis.call(data, job, job.threads or task_threads(), (first, second))


def _across_rows(data: np.ndarray, job: Job, chunk: Chunk) -> dict[str, np.ndarray]:
    """The native columns of a block of one set's rows with every row of the other set: one rectangle call
    over those rows (the block first), positions given as rows of ``data``; for scores, the block's rows."""
    partners = np.arange(job.between, len(data)) if chunk.lo < job.between else np.arange(job.between)
    rows = np.concatenate([np.arange(chunk.lo, chunk.hi), partners]).astype(np.int32)
    block = chunk.hi - chunk.lo
    part = dataclasses.replace(job, between=block, same=None if job.same is None else job.same[rows],
                               exclude=None if job.exclude is None else job.exclude[rows])
    columns = job.analysis.call(np.ascontiguousarray(data[rows]), part, job.threads or task_threads(), None)
    if job.analysis.per_feature:
        columns = take_rows(columns, slice(0, block))
    for name in ("first", "second", "feature"):
        if name in columns:
            columns[name] = rows[columns[name]]
    return columns


def tested_rows(columns: dict[str, np.ndarray], p: np.ndarray | None = None) -> np.ndarray:
    """Rows with a finite statistic and a defined permutation p-value (``p``, when already formed)."""
    return analysis_of(columns).tested(columns, column_pvalues(columns) if p is None else p)


def take_rows(columns: dict[str, np.ndarray], index) -> dict[str, np.ndarray]:
    """The given rows of every column."""
    return {name: values[index] for name, values in columns.items()}


def concat_rows(parts: Iterable[dict[str, np.ndarray]], names: Iterable[str],
                wide: tuple[str, ...] = ()) -> dict[str, np.ndarray]:
    """Rows of several tables one after another (an empty table without parts: ``wide`` names its float64
    columns)."""
    parts = list(parts)
    if not parts:
        return {name: np.zeros(0, np.float64 if name in wide else _COLUMN_TYPES.get(name, np.float32))
                for name in names}
    return {name: np.concatenate([p[name] for p in parts]) for name in parts[0]}


def kth_smallest(values: np.ndarray, k: int):
    """The k-th smallest of ``values`` (k from 1; no NaN): ``np.partition(values, k - 1)[k - 1]``.

    When k is small next to the count (a chunk's best rows), a strided
    sample bounds the k-th value from above first, a few standard deviations
    past the sample rank k's share would have, and only the values under
    the bound are partitioned: a pass of comparisons instead of a selection
    over every value. Where fewer than k values lie under the bound (a
    sample that happened to meet only the smallest values), the whole array
    is partitioned; the result is the same either way.
    """
    n = len(values)
    step = n // (64 * k)
    if step >= 4:
        sample = values[::step]
        share = len(sample) * k / n
        rank = min(len(sample) - 1, int(share + 4 * np.sqrt(share) + 16))
        bound = np.partition(sample, rank)[rank]
        under = values[values <= bound]
        if len(under) >= k:
            values = under
    return np.partition(values, k - 1)[k - 1]


def _best_k(keys: list[np.ndarray], k: int) -> np.ndarray:
    """Positions of the k smallest rows in the lexicographic order of ``keys``
    (most significant first), then of their positions, best first.

    Selects key by key: the rows below the k-th smallest value of a key are
    in, those above it out, and only the ties at that value go on to the
    next key; so each step is a linear-time partition and only the k
    selected rows are sorted, however many rows tie on the first keys. A
    key on which the remaining rows all tie costs one pass, and a boolean
    key a count. Rows are taken in ascending position throughout, and the
    final sort is stable, so rows tied on every key come in position order.
    """
    chosen = []
    left = None  # every row, not yet listed
    for key in keys:
        values = key if left is None else key[left]
        if len(values) <= k:
            break
        if values.dtype == np.bool_:
            cut = np.count_nonzero(~values) < k
        elif values.min() == values.max():
            continue
        else:
            cut = kth_smallest(values, k)
        below = values < cut
        tied = values == cut
        taken = np.count_nonzero(below)
        if taken:
            chosen.append(np.flatnonzero(below) if left is None else left[below])
            k -= taken
        if left is not None or np.count_nonzero(tied) < len(values):
            left = np.flatnonzero(tied) if left is None else left[tied]
    chosen.append(np.arange(min(k, len(keys[0]))) if left is None else left[:k])
    rows = np.concatenate(chosen)
    return rows[np.lexsort([key[rows] for key in reversed(keys)])]


def top_rows(columns: dict[str, np.ndarray], job: Job, p: np.ndarray | None = None,
             tested: np.ndarray | None = None, first_row: int = 0) -> dict[str, np.ndarray]:
    """The ``job.top`` best rows, best first.

    Order: tested rows before untested ones; then the permutation p-value
    ascending, the normal p-value ascending (z-tests) and the statistic's
    magnitude descending; then the row number ascending. Untested rows are
    ordered by row number alone. The order is total, so the kept rows do not
    depend on how the rows were chunked. The row numbers are
    ``columns["row"]``, or else ``first_row`` on in the columns' order (a
    chunk's rows), and the kept rows carry them as ``row``. ``p`` and
    ``tested``: the rows' permutation p-values and tested rows, when already
    known.
    """
    keys = job.analysis.ranking_keys(columns, column_pvalues(columns) if p is None else p, tested)
    numbered = "row" in columns
    if numbered:
        keys.append(columns["row"])
    best = _best_k(keys, job.top)
    kept = take_rows(columns, best)
    if not numbered:
        kept["row"] = first_row + best.astype(np.int64)
    return kept


def _top_by_counts(columns: dict[str, np.ndarray], chunk: Chunk, job: Job) -> dict | None:
    """:func:`reduce_rows` for ``top`` from the permutation counts, or None where they do not settle it.

    When more than ``top`` rows are tested and all of them count the same
    valid cycles (the usual case), the p-value rises with ``extreme`` alone:
    the tally's counts per ``extreme`` value give the smallest count c at
    which ``top`` tested rows have been reached, and no row above c can be
    among the best. Only the rows at or under c are ranked, with their
    original row numbers, so the result equals ranking every row.
    """
    # The rows with a finite statistic, no p-value formed. Rows among them
    # that no cycle counted (no p-value) either make the valid counts differ
    # or, all of them, leave one count: the general path takes both.
    tested = np.isfinite(statistic(columns))
    extreme = np.asarray(columns["extreme"])
    every, hits, counted = tested_counts(extreme, columns["valid"], tested)
    if len(counted) <= job.top or counted.min() != counted.max():
        return None
    distinct, tally = tally_by_extreme(hits, counted[0])
    at = np.searchsorted(np.cumsum(tally.counts), job.top)
    if at == len(distinct) - 1:  # every tested row is a candidate (no cycle ever extreme, say)
        return None
    under = extreme <= distinct[at]
    rows = np.flatnonzero(under if every else under & tested)
    candidates = take_rows(columns, rows)
    if "row" not in candidates:
        candidates["row"] = chunk.row + rows.astype(np.int64)
    return {"index": chunk.index, "columns": top_rows(candidates, job), "tally": tally, "tested": len(counted),
            "rows": len(tested)}


def reduce_rows(columns: dict[str, np.ndarray], chunk: Chunk, job: Job) -> dict:
    """Reduce one chunk's rows; the result is what a chunk sends back."""
    adaptive = "p_permutation" in columns  # p-values of their own, not from the counts
    if job.top is not None and not adaptive:
        reduced = _top_by_counts(columns, chunk, job)
        if reduced is not None:
            return reduced
    p = column_pvalues(columns)
    tested = tested_rows(columns, p)
    tally = (PValueTally.of(p[tested]) if adaptive
             else PValueTally.of_counts(columns["extreme"], columns["valid"], tested))
    if job.top is not None:
        columns = top_rows(columns, job, p, tested, first_row=chunk.row)
    elif job.max_p is not None:
        columns = take_rows(columns, tested & (p <= job.max_p))
    return {"index": chunk.index, "columns": columns, "tally": tally, "tested": int(tested.sum()),
            "rows": len(tested)}


def compute_chunk(data: np.ndarray, job: Job, chunk: Chunk, first=None, second=None) -> dict:
    """Compute and reduce one chunk (in this process or as a Dask task).

    ``first``/``second`` are the chunk's slice of a given pair list; without
    them the chunk is a block of first features over all pairs. A run
    reports progress per chunk, not per permutation cycle.
    """
    given = None if first is None else (first, second)
    if first is None and job.between is not None:
        columns = _across_rows(data, job, chunk)
    else:
        if first is None:
            first, second = block_pairs(chunk.lo, chunk.hi, job.features, job.analysis.per_feature)
        columns = _native_rows(data, job, chunk, first, second)
    if job.adaptive is not None:
        return _screened(data, job, chunk, columns, given)
    return reduce_rows(columns, chunk, job)


def _screened(data, job: Job, chunk: Chunk, columns: dict[str, np.ndarray], pairs) -> dict:
    """A chunk's first pass of ``permutations="auto"`` (:func:`corrshift.adaptive_runs.screen_chunk`): its
    stopped rows reduced as :func:`reduce_rows` does, numbered (``row``); the rows still running
    (``survivors``), the chunk's ``rounds`` and the cycles of its stopped rows besides."""
    state = screen_chunk(data, job, columns, pairs, job.threads or task_threads())
    columns = with_state(columns, state)
    rounds = columns.pop("rounds")
    columns["row"] = chunk.row + np.arange(len(state.p), dtype=np.int64)
    stopped = ~state.running
    partial = reduce_rows(take_rows(columns, stopped), chunk, job)
    partial.update(survivors=take_rows(columns, state.running), rounds=rounds,
                   tested=int(np.count_nonzero(~np.isnan(statistic(columns)))), rows=len(state.p),
                   cycles=int(state.cycles[stopped].sum()))
    return partial


# ---------------------------------------------------------------------------
# Runs


def _check_prepared(data, group1, group2) -> tuple[np.ndarray, np.ndarray]:
    if not (isinstance(data, np.ndarray) and data.dtype == np.float32 and data.ndim == 2
            and data.flags.c_contiguous):
        raise ValueError("the chunk engine needs a C-contiguous 2-D float32 matrix")
    return (np.ascontiguousarray(group1, dtype=np.int32), np.ascontiguousarray(group2, dtype=np.int32))


def _run_local(data, job, plan, pairs, consume) -> None:
    for chunk in plan:
        consume(compute_chunk(data, job, chunk, *_chunk_slices(pairs, chunk)))


def _chunk_slices(pairs, chunk: Chunk):
    if pairs is None:
        return None, None
    first, second = pairs
    return first[chunk.lo:chunk.hi], second[chunk.lo:chunk.hi]


#: How many times a run on Dask sends its matrix again after losing it.
RESEND_LIMIT = 3


def _run_on_client(client, data, job, plan, pairs, consume) -> None:
    """Run the chunks as tasks of a Dask client, a bounded number at a time.

    The matrix is scattered to every worker once. At most twice as many tasks
    as the cluster has threads are submitted at once, so neither the workers
    nor this process hold more than that many chunks' results. A task lost
    with its worker is rerun by Dask under the same key. When the matrix
    itself is lost (every worker holding it gone: the scheduler cancels the
    tasks that need it), it is scattered again and the chunks not yet
    consumed are submitted again, up to :data:`RESEND_LIMIT` times.
    """
    from distributed import as_completed

    window = max(2, 2 * sum(client.nthreads().values()))
    queue = iter(plan)
    outstanding: dict[int, tuple[Chunk, object]] = {}
    finished = as_completed()
    data_future = None
    token = ""

    def send_matrix() -> None:
        nonlocal data_future, token
        if data_future is not None:
            data_future.release()
        # A key of its own (hash=False): a run that scattered the same matrix
        # before may still be releasing its copy.
        data_future = client.scatter(data, broadcast=True, hash=False)
        token = uuid.uuid4().hex  # new task keys: the cancelled ones may linger

    def submit(chunk: Chunk) -> None:
        future = client.submit(compute_chunk, data_future, job, chunk, *_chunk_slices(pairs, chunk),
                               key=f"corrshift-chunk-{token}-{chunk.index}", pure=False)
        outstanding[chunk.index] = (chunk, future)
        finished.add(future)

    def submit_next() -> None:
        chunk = next(queue, None)
        if chunk is not None:
            submit(chunk)

    resent = 0
    try:
        send_matrix()
        for _ in range(window):
            submit_next()
        for future in finished:
            try:
                partial = future.result()
            except CancelledError as lost:
                resent += 1
                if resent > RESEND_LIMIT:
                    raise RuntimeError(f"the Dask cluster lost the analysed matrix {resent} times, "
                                       f"the last time: {lost}") from lost
                # Every chunk not yet consumed goes again with a new matrix;
                # the other tasks of the lost submission are dropped (clear:
                # their cancellations are not reported).
                retry = [chunk for chunk, _ in outstanding.values()]
                client.cancel([f for _, f in outstanding.values()])
                finished.clear()
                outstanding.clear()
                send_matrix()
                for chunk in retry:
                    submit(chunk)
                continue
            outstanding.pop(partial["index"], None)
            del future
            consume(partial)
            submit_next()
    finally:
        if outstanding:
            client.cancel([f for _, f in outstanding.values()])
        if data_future is not None:
            data_future.release()


def run_chunks(data: np.ndarray, group1, group2, job: Job, *, pairs=None,
               chunk_pairs: int | None = None, client=None,
               sink: Callable[[int, dict[str, np.ndarray]], None] | None = None,
               progress: Callable[[int, int], None] | None = None) -> ChunkedResult:
    """Run a z-test or score over pairs in chunks and reduce the rows.

    Parameters
    ----------
    data : ndarray
        C-contiguous float32 matrix, features x samples (only the samples the
        permutations may deal).
    group1, group2 : array_like of int
        Sample columns of the two groups.
    job : Job
        Test, options and reduction (``top``/``max_p``).
    pairs : tuple of two int32 ndarrays, optional
        Given pairs (first, second); all pairs when omitted. For scores the
        pairs must be sorted by first feature.
    chunk_pairs : int, optional
        Pairs per chunk (at least one first feature per chunk over all pairs,
        one whole run per chunk for scores over given pairs). By default
        :func:`default_chunk_pairs`.
    client : dask.distributed.Client, optional
        Run chunks as tasks of this client instead of one after another here.
    sink : callable, optional
        ``sink(chunk_index, columns)`` receives every chunk's rows (after the
        ``max_p`` filter) instead of keeping them; called in this process in
        the order chunks finish.
    progress : callable, optional
        ``progress(done, total)`` before the first chunk and after every chunk.

    Returns
    -------
    ChunkedResult
    """
    if chunk_pairs is None:
        cycles = job.permutations if job.adaptive is None else screen_cost(job.adaptive.cap)
        chunk_pairs = default_chunk_pairs(len(group1) + len(group2), cycles, _task_threads(job, client))
    if chunk_pairs < 1 or chunk_pairs > INT32_MAX:
        raise ValueError(f"chunk_pairs must be between 1 and {INT32_MAX}, got {chunk_pairs}")
    if job.top is not None and job.top < 1:
        raise ValueError(f"top must be at least 1, got {job.top}")
    if job.top is not None and sink is not None:
        raise ValueError("top keeps the best rows of the whole run; it cannot stream rows to a sink")
    group1, group2 = _check_prepared(data, group1, group2)
    job = dataclasses.replace(job, group1=group1, group2=group2, features=int(data.shape[0]))
    if job.between is not None:
        plan = plan_rectangle(job.features, job.between, job.same, job.analysis, chunk_pairs)
    elif pairs is None:
        plan = plan_all_pairs(job.features, job.analysis, chunk_pairs)
    else:
        pairs = tuple(np.ascontiguousarray(p, dtype=np.int32) for p in pairs)
        if len(pairs[0]) != len(pairs[1]):
            raise ValueError("the two pair index arrays differ in length")
        plan = plan_given_pairs(pairs[0], job.analysis, chunk_pairs)

    names = job.columns
    kept: dict[int, dict[str, np.ndarray]] = {}
    best: dict[str, np.ndarray] | None = None
    tally = EMPTY_TALLY
    tested = total = cycles = 0
    done: set[int] = set()
    survivors: dict[int, dict[str, np.ndarray]] = {}
    running: dict[int, int] = {}  # "auto": the rows of all chunks still running after each round's cycles

    def consume(partial: dict) -> None:
        nonlocal best, tally, tested, total, cycles
        if partial["index"] in done:
            return  # a rerun task reported twice: its rows are already in
        done.add(partial["index"])
        tally = tally + partial["tally"]
        tested += partial["tested"]
        total += partial["rows"]
        if "survivors" in partial:
            survivors[partial["index"]] = partial["survivors"]
            cycles += partial["cycles"]
            for end, count in partial["rounds"]:
                running[end] = running.get(end, 0) + count
        rows = partial["columns"]
        if sink is not None:
            sink(partial["index"], rows)
        elif job.top is not None:
            merged = rows if best is None else concat_rows([best, rows], names)
            best = top_rows(merged, job)
        else:
            kept[partial["index"]] = rows
        if progress is not None:
            progress(len(done), len(plan))

    if progress is not None:
        progress(0, len(plan))
    if client is None:
        _run_local(data, job, plan, pairs, consume)
    else:
        _run_on_client(client, data, job, plan, pairs, consume)
    if len(done) != len(plan):
        raise RuntimeError(f"{len(plan) - len(done)} of {len(plan)} chunks did not report back")

    if sink is not None:
        columns = None
    elif job.top is not None:
        columns = concat_rows([best] if best is not None else [], names, job.analysis.wide)
        if job.adaptive is None:  # "auto" ranks the survivors among them by their row numbers too
            columns.pop("row", None)
    else:
        columns = concat_rows([kept[i] for i in sorted(kept)], names, job.analysis.wide)
    if job.adaptive is None:
        return ChunkedResult(columns, tally, tested, total, len(plan))
    return ChunkedResult(columns, tally, tested, total, len(plan),
                         concat_rows([survivors[i] for i in sorted(survivors)], names),
                         [[end, running[end]] for end in sorted(running)], cycles)
