"""Permutation p-values and Benjamini-Hochberg q-values."""

from __future__ import annotations

import dataclasses

import numpy as np
from scipy import stats


def permutation_pvalues(extreme, valid, statistic) -> np.ndarray:
    """Permutation p-values (extreme + 1) / (valid + 1); NaN where ``statistic`` is NaN.

    ``extreme`` counts the permutation cycles whose statistic was at least
    as extreme as the observed one, ``valid`` those in which the statistic
    was defined at all (a cycle where it is undefined counts neither way).
    Counting the observed statistic among the permuted ones keeps every
    p-value above 0, as a p-value from permutations should be.
    """
    p = (np.asarray(extreme, dtype=np.float64) + 1) / (np.asarray(valid, dtype=np.float64) + 1)
    p[np.isnan(np.asarray(statistic, dtype=np.float64))] = np.nan
    return p


def bh_qvalues(p: np.ndarray) -> np.ndarray:
    """Benjamini-Hochberg q-values over the defined p-values; NaN for the others."""
    q = np.full(len(p), np.nan)
    tested = ~np.isnan(p)
    if tested.any():
        q[tested] = stats.false_discovery_control(p[tested], method="bh")
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

    def __add__(self, other: PValueTally) -> PValueTally:
        values, where = np.unique(np.concatenate([self.values, other.values]), return_inverse=True)
        counts = np.bincount(where, weights=np.concatenate([self.counts, other.counts]), minlength=len(values))
        return PValueTally(values, counts.astype(np.int64))

    @property
    def total(self) -> int:
        return int(self.counts.sum())

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
        term = self.values * (self.total / np.cumsum(self.counts))
        by_value = np.minimum(np.minimum.accumulate(term[::-1])[::-1], 1.0)
        where = np.searchsorted(self.values, p[tested])
        if np.any(where >= len(self.values)) or np.any(self.values[np.minimum(where, len(self.values) - 1)]
                                                       != p[tested]):
            raise ValueError("a p-value that the tally does not hold")
        q[tested] = by_value[where]
        return q


EMPTY_TALLY = PValueTally(np.zeros(0), np.zeros(0, dtype=np.int64))
