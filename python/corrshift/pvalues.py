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
