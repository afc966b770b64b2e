"""Permutation counts that adapt to each row's decision (``permutations="auto"``).

Each tested row (pair, feature or set) draws permutation cycles until the
Benjamini-Hochberg decision at level ``fdr`` about it is settled, or until
``max_permutations``. Its p-value is the anytime-valid Besag-Clifford
p-value (Besag & Clifford 1991; Fischer & Ramdas 2024; Fischer, Barry &
Ramdas 2024): with W permuted statistics less extreme than the observed one
("wins") and L < h at least as extreme ("losses") so far,

    p = h / (W + h),

which only falls while the row runs. Once the row has h losses it stops,
with the value it had before its h-th loss: counts come a round at a
time, so where that value could be at most ``fdr`` the round is bisected
to find it (:func:`stop_wins`), and elsewhere the row keeps its value of
the round's start (a value of the process too, so valid as well). Under
the null hypothesis the permuted and observed statistics are
exchangeable, so P(p <= a at any time)
= P(h/a - h wins come before h losses) <= a: the p-value is valid whenever
the row stops, however that is decided. A row that reaches
``max_permutations`` = B with L < h losses takes the smaller of that and
the fixed-count value (L + 1) / (B + 1), which keeps the guarantee (the
event is contained in the first one, or has probability (L + 1)/(B + 1)).

Between rounds of cycles, Benjamini-Hochberg runs over every tested row's
current p-value; a running row whose p-value is already at most the
current threshold fdr R / N stops: p-values only fall, so R only grows and
that row is rejected at the end too. What remains running are the rows
whose decision is still open. The final decisions are Benjamini-Hochberg's
on the final p-values (``q_permutation <= fdr``).

The cycles are the engine's numbered dealings: a round starts at the cycle
where the last one ended (``first_cycle``), so a row that ran c cycles
holds exactly the counts of a fixed run of c permutations.

In chunks the rows run in two passes (:mod:`corrshift.adaptive_chunks`).
A chunk cannot see the other chunks' p-values, so its first pass
(:func:`run_adaptive` with ``screen``) stops rows by their losses only, up
to :func:`screen_cycles`; the rows still running there ("survivors", about
h / ``SCREEN`` of those under the null hypothesis) go on together in a
second pass (:func:`resume_adaptive`) under the rejection rule over all
tested rows. A stop by losses depends on the row's own cycles only, so
every p-value stays valid, and the rounds end at the same cycles as in one
call.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable

import numpy as np

from .options import MAX_PERMUTATIONS

#: h, the losses after which a row stops: larger h gives p-values closer to
#: the fixed-count ones at the cost of more cycles for every row under the
#: null hypothesis (about h ln(max_permutations) each).
LOSSES = 10

#: Rounds end at cycle LOSSES, then grow by this factor (at least LOSSES
#: cycles a round): a row stops at most a quarter of its cycles after its
#: decision was settled, and a run of 4e7 cycles takes some 70 rounds.
GROWTH = 1.25

#: The fewest cycles of a chunk's first pass (:func:`screen_cycles`): a row under the null hypothesis
#: stops after h (1 + ln(SCREEN / h)) of them on average, and about h / SCREEN of those rows still run there.
SCREEN = 1000

#: The most cycles "auto" runs for any row: a row that still runs there has
#: cost 1e9 dealings of its samples (tens of minutes even for one row), and
#: 1e9 cycles let a lone row reach q <= 0.05 among 5e7 rows.
MOST_PERMUTATIONS = 10 ** 9

#: What a cycle costs the engine, in nanoseconds, for the choice between the
#: dense block of a group of features and their listed pairs (one thread,
#: measured with corrshift.native on a 2-core Xeon; only their ratios
#: matter): a pair of a dense block (tiles vectorised across pairs), a
#: listed pair (one pair's sum in sample order at a time), and a call's
#: fixed part (dealing, the features' rows, the report).
DENSE_PAIR_NS = 10.0
LISTED_PAIR_NS = 150.0
CALL_NS = 15_000.0

#: Pairs whose two features are both paired with at least this many other
#: features (pairs in as many triangles) form the modules that
#: :func:`pair_groups` looks for within a group too sparse for a dense block.
CORE_DEGREE = 8

#: The search for modules is left out when it would take more products than
#: this (about a tenth of a second): in the first rounds, where most pairs
#: still run and their modules do not stand out.
MOST_TRIANGLE_WORK = 20_000_000

#: In chunks, a dense block holds at most this many times the pairs of the chunk's rows (or of the
#: survivors), so that a chunk's memory stays within this factor of a fixed count's; a block of up to
#: DENSE / LISTED = 15 times the pairs it needs would pay.
CHUNK_DENSE = 4

#: Below this many nanoseconds of work a cycle, a call runs on one thread:
#: waking the workers for every phase would cost more than it saves.
ONE_THREAD_NS = 200_000.0

#: ``run(rows, first_cycle, cycles)``: the (extreme, valid) counts of the
#: given rows over cycles ``first_cycle + 1 .. first_cycle + cycles``.
RoundRunner = Callable[[np.ndarray, int, int], tuple[np.ndarray, np.ndarray]]


def default_max_permutations(rows: int, fdr: float) -> int:
    """What Benjamini-Hochberg needs for a lone row among ``rows`` at ``fdr``: ceil(rows / fdr) - 1, at most
    :data:`MOST_PERMUTATIONS` (and at least one round)."""
    return int(min(max(math.ceil(rows / fdr) - 1, LOSSES), MOST_PERMUTATIONS))


def round_ends(cap: int):
    """The cycles after which rounds end: LOSSES, then growing by GROWTH (a round at most
    MAX_PERMUTATIONS cycles, what one engine call counts), the last at ``cap``."""
    end = 0
    while end < cap:
        end = min(cap, end + MAX_PERMUTATIONS, max(end + LOSSES, math.ceil(end * GROWTH)))
        yield end


def screen_cycles(cap: int) -> int:
    """The cycles of a chunk's first pass: the first round end at or past :data:`SCREEN` (``cap`` if
    smaller), so that the second pass goes on with the rounds of one call."""
    return next(end for end in round_ends(cap) if end >= min(cap, SCREEN))


def screen_cost(cap: int) -> float:
    """About how many cycles a row costs in a chunk's first pass: h (1 + ln(c1 / h)), the mean for a row under
    the null hypothesis, which stops at its h-th loss (for chunk sizes)."""
    return LOSSES * (1.0 + math.log(screen_cycles(cap) / LOSSES))


@dataclasses.dataclass(frozen=True)
class Adaptive:
    """The options of an "auto" run in chunks: the level ``fdr`` and ``cap`` = max_permutations."""

    fdr: float
    cap: int

    @property
    def screen(self) -> int:
        return screen_cycles(self.cap)


def bc_value(wins) -> np.ndarray:
    """h / (W + h): the Besag-Clifford process after W wins with fewer than h losses."""
    return LOSSES / (np.asarray(wins, dtype=np.float64) + LOSSES)


def anytime_pvalues(extreme: np.ndarray, valid: np.ndarray) -> np.ndarray:
    """h / (W + h) for W = valid - extreme wins (rows with fewer than h losses)."""
    return bc_value(valid - extreme)


def bh_threshold(p: np.ndarray, fdr: float, tested: int, outside=()) -> float:
    """The Benjamini-Hochberg threshold fdr R / N over ``tested`` = N rows' p-values (0 when R = 0): those of
    ``p`` and the ``outside`` ones (rows not in ``p``, such as the rows a chunk's first pass stopped).

    Only p-values at most ``fdr`` can be rejected, so only they are sorted.
    """
    small = np.sort(np.concatenate([p[p <= fdr], outside]))
    if not len(small):
        return 0.0
    levels = fdr * np.arange(1, len(small) + 1) / tested
    below = np.flatnonzero(small <= levels)
    return float(levels[below[-1]]) if len(below) else 0.0


@dataclasses.dataclass
class AdaptiveRun:
    """The state of an adaptive run over N rows."""

    extreme: np.ndarray  # int64 counts so far
    valid: np.ndarray
    p: np.ndarray  # float64: the anytime-valid p-value; NaN for untested rows
    cycles: np.ndarray  # int64: cycles each row ran
    running: np.ndarray  # bool
    #: After each round: [cycles so far, rows still running] (the cost curve).
    rounds: list = dataclasses.field(default_factory=list)

    @classmethod
    def start(cls, tested: np.ndarray) -> AdaptiveRun:
        n = len(tested)
        p = np.where(tested, 1.0, np.nan)
        return cls(np.zeros(n, np.int64), np.zeros(n, np.int64), p, np.zeros(n, np.int64), tested.copy())

    def settle(self, rows: np.ndarray, extreme, valid, end: int, cap: int, fdr: float | None, tested: int,
               outside=(), stopped: np.ndarray | None = None) -> None:
        """Add the counts of ``rows`` (running until cycle ``end``) and stop the rows whose decision is settled.

        ``fdr`` None stops rows by their losses (and the cap) only, as a
        chunk's first pass does; ``outside``: the p-values of tested rows
        outside this run (only those at most ``fdr`` count), for the threshold.
        ``stopped``: for rows whose h-th loss came in this round, the value
        of the process when it froze where it is known (:func:`stop_wins`),
        NaN where not (the row keeps its value of the round's start).
        """
        self.extreme[rows] += extreme
        self.valid[rows] += valid
        self.cycles[rows] = end
        e, v = self.extreme[rows], self.valid[rows]
        lost = e >= LOSSES
        going = rows[~lost]
        p = anytime_pvalues(e[~lost], v[~lost])
        if end >= cap:
            p = np.minimum(p, (e[~lost] + 1.0) / (v[~lost] + 1.0))
        # Rows with h losses keep the value they had before this round, or take the one they froze at.
        self.p[going] = p
        if stopped is not None:
            known = lost & ~np.isnan(stopped)
            self.p[rows[known]] = stopped[known]
        self.running[rows[lost]] = False
        if end >= cap:
            self.running[rows] = False
            return
        if fdr is None:
            return
        # NaN (untested rows) is never at most fdr: bh_threshold leaves it out.
        threshold = bh_threshold(self.p, fdr, tested, outside)
        self.running[going[p <= threshold]] = False


def run_adaptive(run: RoundRunner, first: tuple[np.ndarray, np.ndarray], tested: np.ndarray, fdr: float,
                 cap: int, report: Callable[[int, int, int], None] | None = None, *,
                 screen: int | None = None) -> AdaptiveRun:
    """Runs rounds of cycles over the running rows until none runs.

    ``first`` holds every row's counts over the first round (cycles 1 ..
    LOSSES, run with the observed statistics); ``tested`` marks the rows
    that get p-values (their observed statistic defined); ``report(cycles,
    running, tested)`` is told after each round (rows still running of the
    tested rows).

    ``screen`` (a round end, :func:`screen_cycles`) makes it a chunk's first
    pass: rows stop by their losses (or ``cap``) only, and the rounds end at
    cycle ``screen``, the rows still running there left running (for
    :func:`resume_adaptive`).
    """
    state = AdaptiveRun.start(tested)
    n_tested = int(tested.sum())
    rule = fdr if screen is None else None
    ends = round_ends(cap)
    start = next(ends)
    rows = np.flatnonzero(tested)
    state.settle(rows, first[0][rows], first[1][rows], start, cap, rule, n_tested)
    _told(state, start, n_tested, report)
    _rounds(run, state, start, ends, cap, rule, n_tested, report, until=screen, level=fdr)
    _no_cycle_no_pvalue(state, tested)
    return state


def resume_adaptive(run: RoundRunner, state: AdaptiveRun, start: int, fdr: float, cap: int, tested: int,
                    outside=(), report: Callable[[int, int, int], None] | None = None) -> AdaptiveRun:
    """The second pass of a run in chunks: the rows of ``state`` (the chunks' survivors, all running after
    cycle ``start``) go on with the rounds of one call, under the rejection rule over ``tested`` = N rows:
    their own p-values and the ``outside`` ones (the rows the first passes stopped; only those at most
    ``fdr`` count).

    The rule runs first at cycle ``start``, where one call would have run
    it; ``state.rounds`` starts with the rows still running after it.
    """
    rows = np.flatnonzero(state.running)
    none = np.zeros(len(rows), np.int64)
    state.settle(rows, none, none, start, cap, fdr, tested, outside)
    _told(state, start, tested, report)
    _rounds(run, state, start, (end for end in round_ends(cap) if end > start), cap, fdr, tested, report,
            outside)
    _no_cycle_no_pvalue(state, np.ones(len(state.p), bool))
    return state


def _rounds(run: RoundRunner, state: AdaptiveRun, start: int, ends, cap: int, fdr: float | None, tested: int,
            report, outside=(), until: int | None = None, level: float | None = None) -> None:
    """The rounds after cycle ``start`` up to the given ``ends`` (and ``until``), while rows run.

    Rows whose h-th loss comes within a round and whose value could be at
    most ``level`` (``fdr`` unless given) get the value they froze at
    (:func:`stop_wins`): there it can decide a rejection.
    """
    level = fdr if level is None else level
    for end in ends:
        rows = np.flatnonzero(state.running)
        if not len(rows) or (until is not None and start >= until):
            break
        extreme, valid = run(rows, start, end - start)
        stopped = _stopped_values(run, state, rows, start, end, extreme, valid, level)
        state.settle(rows, extreme, valid, end, cap, fdr, tested, outside, stopped)
        _told(state, end, tested, report)
        start = end


def _stopped_values(run: RoundRunner, state: AdaptiveRun, rows, start: int, end: int, extreme, valid,
                    level: float) -> np.ndarray:
    """For ``rows`` (running cycles start + 1 .. end, with these counts), h / (W + h) at their h-th loss
    where it came in this round and could be at most ``level``; NaN elsewhere."""
    before_e, before_v = state.extreme[rows], state.valid[rows]
    e, v = before_e + extreme, before_v + valid
    best = anytime_pvalues(e, v)  # no value it froze at is below this
    exact = (before_e < LOSSES) & (e >= LOSSES) & (best <= level)
    stopped = np.full(len(rows), np.nan)
    if exact.any():
        wins = stop_wins(run, rows[exact], start, end, before_e[exact], before_v[exact])
        stopped[exact] = bc_value(wins)
    return stopped


def stop_wins(run: RoundRunner, rows: np.ndarray, start: int, end: int, extreme: np.ndarray,
              valid: np.ndarray) -> np.ndarray:
    """The wins before the h-th loss of rows that had it within cycles start + 1 .. end, from their counts
    at ``start`` (fewer than h losses).

    Bisects the round: each step runs the first half of each row's
    remaining range (rows that share a range in one call) and keeps the
    half that holds the h-th loss. A row runs about the round's cycles once
    more in all.
    """
    lo, hi = np.full(len(rows), start, np.int64), np.full(len(rows), end, np.int64)
    e, v = extreme.astype(np.int64).copy(), valid.astype(np.int64).copy()
    while np.any(hi - lo > 1):
        mid = (lo + hi) // 2
        open_rows = np.flatnonzero(hi - lo > 1)
        for a, m in set(zip(lo[open_rows].tolist(), mid[open_rows].tolist())):
            at = open_rows[(lo[open_rows] == a) & (mid[open_rows] == m)]
            de, dv = run(rows[at], a, m - a)
            reached = e[at] + de >= LOSSES
            hi[at[reached]] = m
            later = at[~reached]
            lo[later] = m
            e[later] += de[~reached]
            v[later] += dv[~reached]
    # The h-th loss is cycle hi = lo + 1; the counts are through lo.
    return v - e


def _no_cycle_no_pvalue(state: AdaptiveRun, tested: np.ndarray) -> None:
    # Rows that never counted a defined cycle have no permutation p-value.
    state.p[tested & (state.valid == 0)] = np.nan


def _told(state: AdaptiveRun, cycles: int, tested: int, report) -> None:
    running = int(state.running.sum())
    state.rounds.append([cycles, running])
    if report is not None:
        report(cycles, running, tested)


def pair_rows(rows: np.ndarray, features: int) -> tuple[np.ndarray, np.ndarray]:
    """The positions (i, j), i < j, of rows of all pairs of ``features`` in condensed order."""
    k = features
    starts = np.arange(k, dtype=np.int64) * (2 * k - np.arange(k, dtype=np.int64) - 1) // 2
    i = np.searchsorted(starts, rows, side="right") - 1
    j = rows - starts[i] + i + 1
    return i, j


def condensed_rows(i: np.ndarray, j: np.ndarray, features: int) -> np.ndarray:
    """The condensed rows of pairs (i, j), i < j, of ``features``."""
    i = i.astype(np.int64)
    return i * (2 * features - i - 1) // 2 + (j - i - 1)


def compact_pairs(first: np.ndarray, second: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The features the pairs use (ascending) and the pairs' positions among them."""
    used = np.union1d(first, second)
    return used, np.searchsorted(used, first).astype(np.int32), np.searchsorted(used, second).astype(np.int32)


def dense_pays(pairs: int, features: int, most: int | None = None) -> bool:
    """Whether ``pairs`` pairs among ``features`` features cost a cycle less as the dense block of all their
    pairs, in a call of their own, than as listed pairs in a shared call; and the block holds at most
    ``most`` pairs (the engine holds each pair's columns, dense or listed, so this bounds the memory)."""
    block = features * (features - 1) / 2
    return _dense_cost(features) < LISTED_PAIR_NS * pairs and (most is None or block <= most)


def _dense_cost(features: int) -> float:
    return DENSE_PAIR_NS * features * (features - 1) / 2 + CALL_NS


def _components(a: np.ndarray, b: np.ndarray, features: int) -> np.ndarray:
    """The connected component of each pair (a, b) of the graph of the pairs over ``features`` nodes."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components

    graph = coo_matrix((np.ones(len(a), np.int8), (a, b)), shape=(features, features))
    return connected_components(graph, directed=False)[1][a]


def _triangle_work(a: np.ndarray, b: np.ndarray, features: int) -> int:
    """The products the search for common neighbours takes: the sum of the squared degrees."""
    degree = np.bincount(a, minlength=features) + np.bincount(b, minlength=features)
    return int(np.dot(degree, degree))


def _common_neighbours(a: np.ndarray, b: np.ndarray, features: int) -> np.ndarray:
    """For each pair (a, b), the features paired with both a and b among the pairs."""
    from scipy.sparse import coo_matrix

    ones = np.ones(2 * len(a), np.int32)
    graph = coo_matrix((ones, (np.r_[a, b], np.r_[b, a])), shape=(features, features)).tocsr()
    graph.data[:] = 1  # a pair listed twice is one neighbour
    return np.asarray((graph @ graph)[a, b]).ravel()


def _dense_groups(a: np.ndarray, b: np.ndarray, members: np.ndarray, features: int,
                  most: int | None) -> list[np.ndarray]:
    """The groups of ``members`` (pairs sharing a connected component) whose pairs pay as a dense block."""
    component = _components(a[members], b[members], features)
    order = np.argsort(component, kind="stable")
    groups = np.split(members[order], np.flatnonzero(np.diff(component[order])) + 1)
    return [g for g in groups if dense_pays(len(g), len(np.union1d(a[g], b[g])), most)]


def pair_plan(first: np.ndarray, second: np.ndarray, most: int | None = None) -> tuple[list[np.ndarray], np.ndarray]:
    """The pairs (positions into ``first``/``second``) that a round computes as dense blocks, one call each,
    and the rest, listed in one call: (dense groups, rest).

    Dense groups are connected groups of pairs that pay as a dense block on
    their own (:func:`dense_pays`, of at most ``most`` pairs); all other
    pairs go together, listed (the last group). Strong changes tend to come
    in modules (features that change together) joined to one another and
    to the rest by scattered pairs that are still running, so two
    groupings are weighed by their cost a cycle: the connected groups of
    all pairs, and those of the pairs whose two features share at least
    :data:`CORE_DEGREE` running partners (pairs within a module share
    many; a scattered pair between modules, few).
    """
    used, a, b = compact_pairs(first, second)
    everything = np.arange(len(a))
    best, cheapest = None, np.inf
    for modules in (False, True):
        if modules and _triangle_work(a, b, len(used)) > MOST_TRIANGLE_WORK:
            break  # the many running pairs of the first rounds: mostly scattered, and costly to search
        candidates = everything[_common_neighbours(a, b, len(used)) >= CORE_DEGREE] if modules else everything
        dense = _dense_groups(a, b, candidates, len(used), most) if len(candidates) else []
        rest = np.setdiff1d(everything, np.concatenate(dense), assume_unique=True) if dense else everything
        cost = sum(_dense_cost(len(np.union1d(a[g], b[g]))) for g in dense)
        cost += LISTED_PAIR_NS * len(rest) + CALL_NS if len(rest) else 0.0
        if cost < cheapest:
            best, cheapest = (dense, rest), cost
    return best


def pair_groups(first: np.ndarray, second: np.ndarray, most: int | None = None) -> list[np.ndarray]:
    """The groups of :func:`pair_plan` in the order a round runs them: the dense blocks, then the listed
    pairs (when there are any)."""
    dense, rest = pair_plan(first, second, most)
    return dense + ([rest] if len(rest) else [])


def call_threads(threads: int, pairs: int, dense_pairs: int) -> int:
    """One thread for a call whose cycle is too little work to share, else ``threads``."""
    work = CALL_NS + LISTED_PAIR_NS * pairs + DENSE_PAIR_NS * dense_pairs
    return 1 if work < ONE_THREAD_NS else threads
