"""Classes of change: the sign of each group's correlation, as "+", "-" or "0".

A pair's class names what its correlation is in each group, group 1 first:
"+/0" is a significant positive correlation in group 1 and none to speak of
in group 2, "-/+" a sign flip, "0/0" no correlation in either group (the
pair may still differ between the groups). Each side comes from its own
two-sided test of r = 0 in that group.
"""

from __future__ import annotations

import numpy as np
from scipy import stats

#: The nine classes of two defined correlations, group 1 before group 2.
CLASSES = tuple(f"{a}/{b}" for a in "+0-" for b in "+0-")

_SIDES = np.array(["-", "0", "+", "NA"], dtype=object)
_NA = 3


def correlation_pvalues(r, n) -> np.ndarray:
    """Two-sided p-values of the test of r = 0 for correlations over ``n`` samples.

    ``t = r * sqrt((n - 2) / (1 - r**2))`` is referred to Student's t with
    ``n - 2`` degrees of freedom: the exact null distribution for Pearson's r
    of normal data, and the usual large-sample approximation for Spearman's
    rank correlation.

    Parameters
    ----------
    r : array_like of float
        Correlations in [-1, 1]; NaN gives NaN.
    n : int or array_like of int
        Number of samples each correlation was computed over (broadcast
        against ``r``); at least 3.

    Returns
    -------
    ndarray of float64
        p-values; 0 where ``|r| = 1``.
    """
    r, n = np.broadcast_arrays(np.asarray(r, dtype=np.float64), np.asarray(n))
    if n.dtype.kind not in "iuf" or n.dtype.kind == "f" and np.any(n != np.round(n)):
        raise ValueError(f"n must hold whole sample counts; got {n.ravel()[:5].tolist()}")
    if n.size and n.min() < 3:
        raise ValueError(f"the test of r = 0 needs at least 3 samples; got n = {int(n.min())}")
    # The native correlations are capped to [-1, 1]; a rounding step beyond
    # them would otherwise give NaN instead of p = 0.
    r = np.clip(r, -1.0, 1.0)
    df = n.astype(np.float64) - 2.0
    # (1 - r)(1 + r) keeps its precision for r near ±1, where 1 - r**2 cancels.
    with np.errstate(divide="ignore", invalid="ignore"):
        t = np.abs(r) * np.sqrt(df / ((1.0 - r) * (1.0 + r)))
    return 2.0 * stats.t.sf(t, df)


def _side(r, n, alpha: float) -> np.ndarray:
    p = correlation_pvalues(r, n)
    side = np.where(p < alpha, np.sign(r) + 1, 1).astype(np.int8)
    side[np.isnan(p)] = _NA
    return side


def change_classes(r1, r2, n1, n2, alpha: float = 0.05) -> np.ndarray:
    """The class of change of each pair, such as "+/0", "-/+" or "0/0".

    Each group's correlation is "+" or "-" (its sign) when its two-sided
    test of r = 0 (see :func:`correlation_pvalues`) gives p < ``alpha``, and
    "0" otherwise; group 1's letter comes first. A NaN correlation (a
    feature constant within the group) gives "NA" for that group only, so
    "NA/+" still says the pair correlates positively in group 2.

    Spearman correlations are classed with the same t approximation, as
    R's DGCA does.

    Parameters
    ----------
    r1, r2 : array_like of float
        Each pair's correlation in group 1 and in group 2.
    n1, n2 : int or array_like of int
        Number of samples in each group (at least 3).
    alpha : float
        Significance level of each group's test, in (0, 1).

    Returns
    -------
    ndarray of str (object dtype)
        One class per pair, shaped like ``r1`` and ``r2`` broadcast together.

    Examples
    --------
    >>> change_classes([0.9, 0.05, -0.8], [0.0, 0.02, 0.7], 40, 40)
    array(['+/0', '0/0', '-/+'], dtype=object)
    """
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must be between 0 and 1; got {alpha!r}")
    side1, side2 = np.broadcast_arrays(_side(r1, n1, alpha), _side(r2, n2, alpha))
    names = np.array([f"{a}/{b}" for a in _SIDES for b in _SIDES], dtype=object)
    return names[side1.astype(np.intp) * len(_SIDES) + side2]
