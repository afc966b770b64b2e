"""Ordering result tables best first."""

from __future__ import annotations

import numpy as np
import pandas as pd


def ranked(results: pd.DataFrame) -> pd.DataFrame:
    """The rows of a :func:`~corrshift.ztest` or :func:`~corrshift.score` table, best first.

    Order: permutation p-value ascending, then (z-tests) the normal p-value
    ascending, then the statistic's magnitude descending; rows without a
    statistic (NaN) come last. Permutation p-values tie often (all rows with
    no permuted statistic as extreme share 1/(m + 1)); the later keys break
    those ties.
    """
    statistic = "z_diff" if "z_diff" in results.columns else "score"
    keys = pd.DataFrame({
        "untested": results[statistic].isna().to_numpy(),
        "p_permutation": results["p_permutation"].to_numpy(),
        "p_normal": results["p_normal"].to_numpy() if "p_normal" in results.columns else 0.0,
        "magnitude": -np.abs(results[statistic].to_numpy()),
    })
    order = keys.sort_values(list(keys.columns), kind="stable").index.to_numpy()
    return results.iloc[order]
