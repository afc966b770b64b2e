"""Feature pairs: given by the user (names or positions), or all pairs by first feature."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .messages import few
from .names import positions


def pair_positions(pairs, features: pd.Index) -> tuple[np.ndarray, np.ndarray]:
    """First and second feature positions (int32) of the given pairs, in order.

    ``pairs`` is a sequence of (a, b) tuples, an (N, 2) array, or a DataFrame
    with two columns (or with columns ``feature_a`` and ``feature_b``, as in a
    z-test result). Entries are feature names or integer positions.
    """
    if isinstance(pairs, pd.DataFrame):
        if {"feature_a", "feature_b"} <= set(pairs.columns):
            pairs = pairs[["feature_a", "feature_b"]]
        elif pairs.shape[1] != 2:
            raise ValueError(f"a pairs DataFrame needs two columns (first and second feature); got "
                             f"{pairs.shape[1]}: {few(pairs.columns)}")
        first, second = (pairs.iloc[:, i].to_numpy() for i in (0, 1))
    elif isinstance(pairs, np.ndarray):
        if pairs.ndim != 2 or pairs.shape[1] != 2:
            raise ValueError(f"pairs must have shape (N, 2); got {pairs.shape}")
        first, second = pairs[:, 0], pairs[:, 1]
    else:
        if isinstance(pairs, (str, bytes)) or np.ndim(pairs) == 0 and not hasattr(pairs, "__iter__"):
            raise ValueError(f"pairs must be a list of (feature, feature) tuples or a two-column DataFrame; "
                             f"got {pairs!r}")
        rows = list(pairs)
        for i, row in enumerate(rows):
            if isinstance(row, (str, bytes)) or np.ndim(row) != 1 or len(row) != 2:
                raise ValueError(f"pairs[{i}] must be a (feature, feature) pair; got {row!r}")
        first = np.array([r[0] for r in rows], dtype=object)
        second = np.array([r[1] for r in rows], dtype=object)
    if len(first) == 0:
        raise ValueError("pairs lists no pair")
    a = positions(first, features, "pairs", "feature")
    b = positions(second, features, "pairs", "feature")
    same = np.flatnonzero(a == b)
    if len(same):
        raise ValueError(f"pairs[{same[0]}] pairs feature {features[a[same[0]]]!r} with itself")
    return a.astype(np.int32), b.astype(np.int32)


def pairs_per_first(features: int, per_feature: bool) -> np.ndarray:
    """How many pairs each first feature has over all pairs: ``K - 1`` when every feature pairs with
    every other (scores), else ``K - 1 - i`` (z-tests, the condensed order)."""
    rows = np.arange(features, dtype=np.int64)
    if not per_feature:
        return features - 1 - rows
    return np.full(features, max(features - 1, 0), dtype=np.int64)


#: Pairs built at a time by :func:`block_pairs`: its int32 working arrays stay this small.
PAIRS_PER_BLOCK = 1 << 20


def block_pairs(lo: int, hi: int, features: int, per_feature: bool,
                dtype=np.int32) -> tuple[np.ndarray, np.ndarray]:
    """The pairs of first features ``[lo, hi)`` as two index arrays of ``dtype``.

    ``(i, j)`` for ``i < j``, in condensed order (z-tests); with
    ``per_feature``, ``(i, j)`` for every ``j != i`` in increasing ``j``
    (scores). The arrays are filled a block of first features at a time, so
    that besides them memory holds one block's working arrays; a ``dtype``
    narrower than int32 (one that holds every position, such as the codes of
    a Categorical over the features) saves half the memory or more.
    """
    counts = pairs_per_first(features, per_feature)[lo:hi]
    ends = np.cumsum(counts)
    total = int(ends[-1]) if len(ends) else 0
    first, second = np.empty(total, dtype), np.empty(total, dtype)
    row, start = lo, 0
    while start < total:
        # At least one first feature, and as many more as the block holds.
        stop = max(row + 1, lo + int(np.searchsorted(ends, start + PAIRS_PER_BLOCK, side="right")))
        end = int(ends[stop - lo - 1])
        first[start:end], second[start:end] = _int32_pairs(row, stop, counts[row - lo:stop - lo], features,
                                                           per_feature)
        row, start = stop, end
    return first, second


def _int32_pairs(lo: int, hi: int, counts: np.ndarray, features: int,
                 per_feature: bool) -> tuple[np.ndarray, np.ndarray]:
    """:func:`block_pairs` of first features ``[lo, hi)`` (``counts`` pairs each) in one go, as int32."""
    rows = np.arange(lo, hi, dtype=np.int32)
    total = int(counts.sum())
    first = np.repeat(rows, counts)
    if not per_feature:
        offsets = (np.cumsum(counts) - counts).astype(np.int32)
        second = np.arange(total, dtype=np.int32)
        second -= np.repeat(offsets, counts)
        second += first
        second += 1
    else:
        # Positions 0 ... K-2 of each row, shifted by one from the row's own
        # index on: 0 ... i-1, i+1 ... K-1.
        second = np.tile(np.arange(features - 1, dtype=np.int32), hi - lo)
        second += second >= first
    return first, second


def rectangle_pairs(count_a: int, count_b: int, same: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """The pairs between the first ``count_a`` rows of a matrix and the ``count_b`` rows after them.

    ``(i, count_a + j)`` for every ``i < count_a`` and ``j < count_b``, row
    ``i`` after row ``i``: the pair of ``i`` and ``j`` comes at position
    ``i * count_b + j``. ``same`` (one id per row of the matrix, or None)
    leaves out the pairs of two rows with one id: a feature that is on both
    sides, paired with itself.
    """
    first = np.repeat(np.arange(count_a, dtype=np.int32), count_b)
    second = np.tile(np.arange(count_a, count_a + count_b, dtype=np.int32), count_a)
    if same is not None:
        other = same[first] != same[second]
        if not other.all():
            first, second = first[other], second[other]
    return first, second
