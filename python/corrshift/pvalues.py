"""Permutation p-values and Benjamini-Hochberg q-values."""

from __future__ import annotations

import dataclasses

import numpy as np

from . import native

#: Rows converted at a time where a whole column's float64 temporary would weigh on memory.
BLOCK = 1 << 20


def permutation_pvalues(extreme, valid, statistic) -> np.ndarray:
    """Permutation p-values (extreme + 1) / (valid + 1); NaN where ``statistic`` is NaN or no cycle counted.

    ``extreme`` counts the permutation cycles whose statistic was at least
    as extreme as the observed one, ``valid`` those in which the statistic
    was defined at all (a cycle where it is undefined counts neither way).
    Counting the observed statistic among the permuted ones keeps every
    p-value above 0, as a p-value from permutations should be. A row that
    no cycle counted (``permutations=0``, or a statistic undefined in every
    permutation) has no permutation p-value: NaN, not (0 + 1) / (0 + 1).
    """
    valid = np.asarray(valid)
    # In place, the divisors a block at a time: no float64 copy of the counts besides p itself.
    p = np.array(extreme, dtype=np.float64)
    p += 1
    for start in range(0, len(p), BLOCK):
        p[start:start + BLOCK] /= valid[start:start + BLOCK] + 1.0
    p[np.isnan(statistic) | (valid == 0)] = np.nan
    return p


def bh_qvalues(p: np.ndarray) -> np.ndarray:
    """Benjamini-Hochberg q-values over the defined p-values; NaN for the others.

    Equal to ``scipy.stats.false_discovery_control(p[defined], method="bh")``
    bit for bit: the same products ``p * (m / rank)`` in ascending order, the
    same running minimum from the largest p-value down, clipped at 1 (the
    order among tied p-values does not change their q-values). p-values that
    float32 holds exactly (the engine's normal p-values) are ordered by the
    engine's radix sort, the others by an argsort.

    Parameters
    ----------
    p : array_like
        p-values between 0 and 1, NaN where undefined.

    Returns
    -------
    ndarray of float64
    """
    p = np.asarray(p)
    if p.dtype != np.float32:
        p = np.asarray(p, dtype=np.float64)
        single = _as_float32(p)
        if single is not None:
            p = single
    if p.dtype == np.float32 and len(p) < 1 << 32:
        try:
            return native.bh_qvalues(p)
        except ValueError:  # values beyond [0, 1], which its keys do not order: the argsort below
            pass
    return _bh_by_argsort(p)


def _as_float32(p: np.ndarray) -> np.ndarray | None:
    """``p`` as float32 when float32 holds every value exactly (NaN too), else None.

    Converted and checked a block at a time: no float64 temporary of the
    whole array, and float64 p-values (most permutation p-values) are found
    out in the first block.
    """
    single = np.empty(len(p), dtype=np.float32)
    for start in range(0, len(p), BLOCK):
        given, converted = p[start:start + BLOCK], single[start:start + BLOCK]
        converted[...] = given
        if not np.array_equal(converted, given, equal_nan=True):
            return None
    return single


def _bh_by_argsort(p: np.ndarray) -> np.ndarray:
    """:func:`bh_qvalues` by an argsort, a block of ranks at a time from the largest p-value down.

    The argsort puts the NaN last, so the first ``m`` positions of the
    order are the tested rows', ascending. Each block carries the running
    minimum of the blocks above it: besides the order and the q-values,
    memory holds one block.
    """
    q = np.full(len(p), np.nan)
    tested = len(p) - int(np.count_nonzero(np.isnan(p)))
    order = np.argsort(p)[:tested]
    smallest = np.inf
    for stop in range(tested, 0, -BLOCK):
        start = max(stop - BLOCK, 0)
        rows = order[start:stop]
        adjusted = p[rows]  # in p's own type, as the products are rounded to it
        adjusted *= tested / np.arange(start + 1, stop + 1, dtype=np.float64)
        np.minimum.accumulate(adjusted[::-1], out=adjusted[::-1])
        np.minimum(adjusted, smallest, out=adjusted)
        smallest = adjusted[0]
        q[rows] = np.clip(adjusted, 0.0, 1.0, out=adjusted)
    return q


def tested_counts(extreme, valid, tested) -> tuple[bool, np.ndarray, np.ndarray]:
    """(whether every row is tested, the tested rows' extreme and valid counts), without a copy when all are."""
    every = bool(np.all(tested))
    if every:
        return every, np.asarray(extreme), np.asarray(valid)
    return every, np.asarray(extreme)[tested], np.asarray(valid)[tested]


def tally_by_extreme(hits: np.ndarray, cycles) -> tuple[np.ndarray, PValueTally]:
    """The distinct ``extreme`` counts of rows that share one cycle count, ascending, and the tally of their
    p-values (h + 1) / (cycles + 1): the rows counted, not sorted."""
    if len(hits) and hits.min() == hits.max():  # one count for every row (no cycle ever extreme, say)
        distinct, counts = hits[:1].astype(np.int64), np.array([len(hits)], dtype=np.int64)
    else:
        counts = np.bincount(hits)
        distinct = np.flatnonzero(counts)
        counts = counts[distinct].astype(np.int64)
    return distinct, PValueTally((distinct + 1.0) / (np.float64(cycles) + 1), counts)


def permutation_qvalues(extreme, valid, p) -> np.ndarray:
    """Benjamini-Hochberg q-values of permutation p-values, from their counts when that saves a sort.

    Equal to :func:`bh_qvalues` of ``p``. When every tested row counts the
    same number of valid cycles (no statistic undefined in a cycle, the usual
    case), ``p`` rises with ``extreme`` alone: the rows are tallied by
    ``extreme`` in one pass (:class:`PValueTally`) instead of being sorted.

    Parameters
    ----------
    extreme, valid : array_like of uint32
        The permutation counts of each row.
    p : ndarray
        Their p-values (:func:`permutation_pvalues`), NaN where undefined.

    Returns
    -------
    ndarray of float64
    """
    q = qvalues_by_counts(extreme, valid, p)
    return bh_qvalues(p) if q is None else q


def qvalues_by_counts(extreme, valid, p) -> np.ndarray | None:
    """:func:`permutation_qvalues` when every tested row counts the same valid cycles; None otherwise,
    where the p-values need a sort (:func:`bh_qvalues`), which a caller can run once it has let the
    counts go."""
    tested = ~np.isnan(p)
    every, hits, counted = tested_counts(extreme, valid, tested)
    if not len(counted) or counted.min() != counted.max():
        return None
    if hits.min() == hits.max():  # one p-value for every tested row (no cycle ever extreme, say): its q-value is itself
        return np.array(p, dtype=np.float64)
    distinct, tally = tally_by_extreme(hits, counted[0])
    by_hits = np.full(distinct[-1] + 1, np.nan)
    by_hits[distinct] = tally.by_value()
    if every:
        return by_hits[hits]
    q = np.full(len(p), np.nan)
    q[tested] = by_hits[hits]
    return q


@dataclasses.dataclass(frozen=True)
class PValueTally:
    """How many tested rows of an analysis have each distinct p-value.

    Enough to give any row its Benjamini-Hochberg q-value over all rows
    without holding them: a row's q-value depends only on its p-value and
    on how many p-values are at most as large. Permutation p-values are
    ratios of small integers, so an analysis has few distinct ones. Equal
    ratios are equal doubles (division is correctly rounded) and distinct
    ones stay distinct (counts are at most 2**24), so tallying the float64
    values is exact.
    """

    values: np.ndarray  # distinct p-values, ascending
    counts: np.ndarray  # rows with each of them

    @classmethod
    def of(cls, p: np.ndarray) -> PValueTally:
        """The tally of the defined values of ``p``."""
        p = np.asarray(p, dtype=np.float64)
        values, counts = np.unique(p[~np.isnan(p)], return_counts=True)
        return cls(values, counts.astype(np.int64))

    @classmethod
    def of_counts(cls, extreme, valid, tested: np.ndarray) -> PValueTally:
        """The tally of the permutation p-values (extreme + 1) / (valid + 1) of the ``tested`` rows.

        Equal to :meth:`of` of those p-values. When every tested row counts
        the same number of valid cycles (the usual case) the p-value rises
        with ``extreme`` alone, so the rows are counted by ``extreme``
        instead of sorted.
        """
        _, hits, counted = tested_counts(extreme, valid, tested)
        if not len(counted) or counted.min() != counted.max():
            return cls.of((hits + 1.0) / (counted + 1.0))
        return tally_by_extreme(hits, counted[0])[1]

    def __add__(self, other: PValueTally) -> PValueTally:
        values, where = np.unique(np.concatenate([self.values, other.values]), return_inverse=True)
        counts = np.bincount(where, weights=np.concatenate([self.counts, other.counts]), minlength=len(values))
        return PValueTally(values, counts.astype(np.int64))

    @property
    def total(self) -> int:
        return int(self.counts.sum())

    def by_value(self) -> np.ndarray:
        """The q-value of each tallied p-value (of :attr:`values`)."""
        term = self.values * (self.total / np.cumsum(self.counts))
        return np.minimum(np.minimum.accumulate(term[::-1])[::-1], 1.0)

    def qvalues(self, p: np.ndarray) -> np.ndarray:
        """Benjamini-Hochberg q-values of the p-values ``p`` of some rows, over all tallied rows.

        Equal to :func:`bh_qvalues` over all tallied rows: the tied rows of
        one value share the step-up minimum from the last of them, at rank
        ``cumsum(counts)``. NaN for an undefined p-value.
        """
        p = np.asarray(p, dtype=np.float64)
        q = np.full(len(p), np.nan)
        tested = ~np.isnan(p)
        if not tested.any():
            return q
        by_value = self.by_value()
        where = np.searchsorted(self.values, p[tested])
        if np.any(where >= len(self.values)) or np.any(self.values[np.minimum(where, len(self.values) - 1)]
                                                       != p[tested]):
            raise ValueError("a p-value that the tally does not hold")
        q[tested] = by_value[where]
        return q


EMPTY_TALLY = PValueTally(np.zeros(0), np.zeros(0, dtype=np.int64))
