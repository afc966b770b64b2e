"""The permutation design: the order of the analysed samples, the distinct
splits of the groups (within strata), exact tests and what the design
cannot answer.

A permutation test compares the observed statistic with the statistics of
other splits of the same samples into two groups of the observed sizes
(within each stratum, with strata). When those splits are few (4 + 4
samples have 70), every one of them is computed once instead of dealt at
random, and the p-value is exact: the share of splits whose statistic is at
least as extreme as the observed one, the observed split included (the
``(b + 1) / (m + 1)`` of the sampled test, with m the other splits).
"""

from __future__ import annotations

import hashlib
import math

import numpy as np

from .messages import few, warn

#: Columns hashed at a time when ordering the samples (bounds the copy).
_HASH_BLOCK = 256


def canonical_columns(values: np.ndarray, strata: np.ndarray | None = None) -> np.ndarray:
    """Positions that put ``columns`` in an order of their own, whatever order they were given in.

    The samples are ordered by a digest of their values over every analysed
    feature, and samples of equal values by stratum (when given): samples
    given in any order come out in one order, so every float sum, the
    standardisation and the seeded dealings see the same matrix. The strata
    decide only between equal samples, so the observed statistics are the
    same with strata as without.

    Parameters
    ----------
    values : ndarray
        Features x columns, the analysed values of ``columns``.
    strata : ndarray, optional
        One stratum code per column.

    Returns
    -------
    ndarray of int64
        ``order`` such that ``values[:, order]`` is the canonical order.
    """
    n = values.shape[1]
    digests = []
    for start in range(0, n, _HASH_BLOCK):
        # As float64 values, whatever type they were read as (a table and an
        # AnnData of the same numbers give one order); -0.0 and 0.0 alike.
        block = np.ascontiguousarray(values[:, start:start + _HASH_BLOCK].T, dtype=np.float64) + 0.0
        digests.extend(hashlib.blake2b(row.tobytes(), digest_size=16).digest() for row in block)
    stratum = np.zeros(n, dtype=np.int64) if strata is None else strata
    return np.array(sorted(range(n), key=lambda j: (digests[j], int(stratum[j]))), dtype=np.int64)


def stratum_sizes(strata: np.ndarray | None, n1: int, n2: int) -> tuple[np.ndarray, np.ndarray]:
    """Group 1's and group 2's sample counts per stratum (one stratum of all without strata)."""
    if strata is None:
        return np.array([n1]), np.array([n2])
    count = int(strata.max()) + 1 if len(strata) else 0
    return (np.bincount(strata[:n1], minlength=count), np.bincount(strata[n1:n1 + n2], minlength=count))


def count_splits(sizes1: np.ndarray, sizes2: np.ndarray) -> int:
    """The number of distinct splits: the product over strata of binomial(n1 + n2, n1)."""
    return math.prod(math.comb(int(a) + int(b), int(a)) for a, b in zip(sizes1, sizes2))


def permutation_cycles(strata: np.ndarray | None, n1: int, n2: int, permutations: int) -> tuple[int, bool]:
    """The permutation cycles to run and whether they are every split (an exact test).

    With S distinct splits and ``permutations`` asked for, S - 1 <= permutations
    gives the exact test: every split other than the observed one, once.
    """
    if permutations == 0:
        return 0, False
    splits = count_splits(*stratum_sizes(strata, n1, n2))
    if splits - 1 <= permutations:
        return splits - 1, True
    return permutations, False


def warn_design(strata: np.ndarray | None, strata_names: tuple, n1: int, n2: int, permutations: int) -> None:
    """Warn where the design cannot answer: strata that hold one group only, and too few splits for p <= 0.05."""
    sizes1, sizes2 = stratum_sizes(strata, n1, n2)
    if strata is not None:
        one_sided = [k for k in range(len(sizes1)) if (sizes1[k] == 0) != (sizes2[k] == 0)]
        if one_sided:
            samples = int(sum(sizes1[k] + sizes2[k] for k in one_sided))
            warn(f"{len(one_sided)} strat{'a hold' if len(one_sided) > 1 else 'um holds'} samples of one group "
                 f"only ({few(strata_names[k] for k in one_sided)}): their {samples} samples are never exchanged "
                 "between the groups, so they add nothing to the permutation test")
    if permutations == 0:
        return
    splits = count_splits(sizes1, sizes2)
    if splits < 20:
        warn(f"the groups have only {splits} distinct split{'s' if splits != 1 else ''} "
             f"{'within the strata ' if strata is not None else ''}into groups of {n1} and {n2}: the smallest "
             f"permutation p-value is 1/{splits}, so none can reach 0.05")
