"""Ordering result tables best first."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .analyses import analysis_of


def ranked(results: pd.DataFrame) -> pd.DataFrame:
    """The rows of a :func:`~corrshift.ztest` or :func:`~corrshift.score` table, best first.

    Order: permutation p-value ascending, then (z-tests) the normal p-value
    ascending, then the statistic's magnitude descending; rows without a
    statistic (NaN) come last. Permutation p-values tie often (all rows with
    no permuted statistic as extreme share 1/(m + 1)); the later keys break
    those ties. Without permutation p-values (``permutations=0``: NaN) the
    normal p-value orders the rows, then the statistic's magnitude.
    """
    p_permutation = results["p_permutation"].to_numpy(dtype=np.float64)
    keys = analysis_of(results).ranking_keys(results, p_permutation)
    return results.iloc[np.lexsort(keys[::-1])]
