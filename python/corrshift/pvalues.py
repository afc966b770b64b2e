"""Permutation p-values and Benjamini-Hochberg q-values."""

from __future__ import annotations

import numpy as np
from scipy import stats


def permutation_counts(p_native: np.ndarray, permutations: int) -> np.ndarray:
    """Recover the count b from the native permutation p-value b/m.

    The native value is the float32 quotient b/m; multiplied back in float64
    its error is below b * 2**-24, far from 0.5 for any m up to 2**24, so
    rounding gives b exactly.
    """
    return np.rint(np.asarray(p_native, dtype=np.float64) * permutations).astype(np.int64)


def permutation_pvalues(p_native: np.ndarray, permutations: int) -> np.ndarray:
    """Permutation p-values (b + 1) / (m + 1) from the native fractions b/m.

    Counting the observed statistic among the permuted ones keeps every
    p-value above 0, as a p-value from m permutations should be.
    """
    return (permutation_counts(p_native, permutations) + 1) / (permutations + 1)


def bh_qvalues(p: np.ndarray, tested: np.ndarray) -> np.ndarray:
    """Benjamini-Hochberg q-values of the tested rows; NaN for the others."""
    q = np.full(len(p), np.nan)
    if tested.any():
        q[tested] = stats.false_discovery_control(p[tested], method="bh")
    return q


def permutation_qvalues(p_native: np.ndarray, counts: np.ndarray, permutations: int) -> np.ndarray:
    """Benjamini-Hochberg q-values of some rows, adjusted over all tested rows.

    Parameters
    ----------
    p_native : ndarray
        Native permutation p-values b/m of the rows to adjust.
    counts : ndarray of int
        ``counts[b]``: the number of tested rows with count b among all rows
        of the analysis, those not at hand included.
    permutations : int
        Permutation count m.

    Returns
    -------
    ndarray of float64
        The q-values of the permutation p-values (b + 1) / (m + 1), equal to
        :func:`bh_qvalues` over all tested rows. A permutation p-value takes
        only m + 1 values, so ``counts`` gives every row's rank: the tied
        rows of one value share the step-up minimum from the last of them,
        at rank ``cumsum(counts)[b]``.
    """
    counts = np.asarray(counts, dtype=np.int64)
    total = int(counts.sum())
    values = (np.arange(permutations + 1) + 1) / (permutations + 1)
    last_rank = np.cumsum(counts)
    term = np.full(permutations + 1, np.inf)
    seen = counts > 0
    term[seen] = values[seen] * (total / last_rank[seen])
    q_by_count = np.minimum(np.minimum.accumulate(term[::-1])[::-1], 1.0)
    return q_by_count[permutation_counts(p_native, permutations)]
