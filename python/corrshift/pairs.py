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


def block_pairs(lo: int, hi: int, features: int, per_feature: bool) -> tuple[np.ndarray, np.ndarray]:
    """The pairs of first features ``[lo, hi)`` as two int32 index arrays.

    ``(i, j)`` for ``i < j``, in condensed order (z-tests); with
    ``per_feature``, ``(i, j)`` for every ``j != i`` in increasing ``j``
    (scores).
    """
    rows = np.arange(lo, hi, dtype=np.int32)
    counts = pairs_per_first(features, per_feature)[lo:hi]
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
