"""Each feature standardised within each group before the native call.

The permutation test deals the samples of both groups anew. If the groups
differ in a feature's mean or spread, a mixed group is a blend of two
clouds, and its correlation differs from both real groups' even when they
have the same correlation: the test would find the shift of means, not a
change of correlation. Standardising every feature within every group (mean
0, standard deviation 1 over that group's samples) removes those
differences and leaves each group's correlations as they were, so the
permutations test only whether the correlation structure is the same.

For "spearman" the values are first replaced by their average ranks within
the group (the mid-rank of each tied block, as in R and scipy), and those
ranks are standardised: the native ranks of the result are the group's
average ranks again, ties stay ties exactly, and the observed correlations
are Spearman's coefficients.

The arithmetic is in float64; the result is the native float32 matrix.
"""

from __future__ import annotations

import dataclasses

import numpy as np
from scipy import stats

#: Rows standardised per block, to bound the float64 working memory.
_BLOCK_VALUES = 1 << 22


@dataclasses.dataclass(frozen=True)
class Standardised:
    """The native matrix and, per group, the features whose correlations are undefined there.

    ``constant[g]`` marks features with a single value over group g's
    samples (their rows are 0 there); ``missing[g]`` marks features with a
    NaN among them (their rows are NaN there).
    """

    matrix: np.ndarray
    constant: tuple[np.ndarray, ...]
    missing: tuple[np.ndarray, ...]


def standardise_rows(block: np.ndarray, method: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Standardise every row of one group's values (features x samples).

    Returns the float64 rows (mean 0, population standard deviation 1; a
    constant row is all 0, a row holding a NaN is all NaN), and the masks of
    constant and of NaN-holding rows. For "spearman" the rows are average
    ranks before they are standardised.
    """
    x = np.array(block, dtype=np.float64)
    missing = np.isnan(x).any(axis=1)
    if method == "spearman":
        x = stats.rankdata(x, axis=1, method="average") if x.shape[1] else x
    x[missing] = np.nan
    constant = ~missing & (x == x[:, :1]).all(axis=1)
    x[constant] = 0.0
    varying = ~(missing | constant)
    if varying.any():
        v = x[varying]
        v -= v.mean(axis=1, keepdims=True)
        v -= v.mean(axis=1, keepdims=True)  # the rounding of the first mean, removed
        # Scaled by the largest magnitude first, so that squares cannot overflow.
        v /= np.abs(v).max(axis=1, keepdims=True)
        v /= np.sqrt((v * v).mean(axis=1, keepdims=True))
        x[varying] = v
    return x, constant, missing


def standardise(values: np.ndarray, n1: int, method: str) -> Standardised:
    """The native float32 matrix of ``values`` (features x samples, group 1's ``n1`` columns first).

    Every feature is standardised within group 1 and within group 2
    separately (see :func:`standardise_rows`).
    """
    return standardise_groups(values, (n1, values.shape[1] - n1), method)


def standardise_groups(values: np.ndarray, sizes, method: str) -> Standardised:
    """The native float32 matrix of ``values`` (features x samples), whose columns are groups of ``sizes``
    samples in turn, each feature standardised within each group (see :func:`standardise_rows`);
    ``constant`` and ``missing`` hold one mask per group."""
    k, p = values.shape
    bounds = np.concatenate([[0], np.cumsum(sizes)]).astype(int)
    matrix = np.empty((k, p), dtype=np.float32)
    masks = np.zeros((2, len(sizes), k), dtype=bool)
    step = max(1, _BLOCK_VALUES // max(p, 1))
    for lo in range(0, k, step):
        hi = min(k, lo + step)
        for g in range(len(sizes)):
            columns = slice(bounds[g], bounds[g + 1])
            rows, constant, missing = standardise_rows(values[lo:hi, columns], method)
            matrix[lo:hi, columns] = rows
            masks[0, g, lo:hi] = constant
            masks[1, g, lo:hi] = missing
    return Standardised(matrix, tuple(masks[0]), tuple(masks[1]))


def observed_counts(values: np.ndarray, sizes) -> tuple[np.ndarray, ...]:
    """Per feature, the number of samples of each group with a non-zero, non-NaN value; the columns are
    groups of ``sizes`` samples in turn."""
    observed = values != 0
    if values.dtype.kind == "f":
        observed &= ~np.isnan(values)
    bounds = np.concatenate([[0], np.cumsum(sizes)]).astype(int)
    return tuple(observed[:, lo:hi].sum(axis=1) for lo, hi in zip(bounds[:-1], bounds[1:]))
