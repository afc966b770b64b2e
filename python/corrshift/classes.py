"""Classes of change: the sign of each group's correlation, as "+", "-" or "0".

A pair's class names what its correlation is in each group, group 1 first:
"+/0" is a significant positive correlation in group 1 and none to speak of
in group 2, "-/+" a sign flip, "0/0" no correlation in either group (the
pair may still differ between the groups). Each side comes from its own
two-sided test of r = 0 in that group.
"""

from __future__ import annotations

import numpy as np
import pandas as pd
from scipy import stats

from . import native

#: The nine classes of two defined correlations, group 1 before group 2.
CLASSES = tuple(f"{a}/{b}" for a in "+0-" for b in "+0-")

_SIDES = np.array(["-", "0", "+", "NA"], dtype=object)
_NA = 3
# Every pair of sides, group 1's first: code 4 * side1 + side2.
_CLASS_DTYPE = pd.CategoricalDtype([f"{a}/{b}" for a in _SIDES for b in _SIDES])


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


#: What :func:`stronger_in` returns for each pair: the correlation is
#: stronger in group 1, stronger in group 2, or equally strong (or undefined).
STRONGER_IN_GROUP1, STRONGER_IN_GROUP2, EQUALLY_STRONG = 1, 2, 0


def stronger_in(r1, r2) -> np.ndarray:
    """In which group each pair's correlation is stronger: ``|r1| > |r2|`` or ``|r1| < |r2|``.

    This is the one reading of "stronger in group 1" that corrshift's hub
    table, network colours and plots share: the strength of a correlation
    is its absolute value, whatever its sign. A pair going from −0.82 to
    −0.17 is stronger in group 1 (although its ``z_diff`` is negative); one
    going from 0.1 to −0.6 is stronger in group 2.

    Parameters
    ----------
    r1, r2 : array_like of float
        Each pair's correlation in group 1 and in group 2.

    Returns
    -------
    ndarray of int8
        :data:`STRONGER_IN_GROUP1` (1) where ``|r1| > |r2|``,
        :data:`STRONGER_IN_GROUP2` (2) where ``|r1| < |r2|``,
        :data:`EQUALLY_STRONG` (0) where they are equal (a sign flip of equal
        strength) or either is NaN.

    Examples
    --------
    >>> stronger_in([-0.82, 0.1, 0.5], [-0.17, -0.6, -0.5]).tolist()
    [1, 2, 0]
    """
    strength1 = np.abs(np.asarray(r1, dtype=np.float64))
    strength2 = np.abs(np.asarray(r2, dtype=np.float64))
    return np.where(strength1 > strength2, np.int8(STRONGER_IN_GROUP1),
                    np.where(strength1 < strength2, np.int8(STRONGER_IN_GROUP2),
                             np.int8(EQUALLY_STRONG))).astype(np.int8)


def significant_r(n: int, alpha: float) -> float:
    """The |r| above which the two-sided test of r = 0 over ``n`` samples gives p < ``alpha``.

    The test's p-value falls as |r| rises, so p < alpha exactly when |r|
    exceeds the |r| at which the t distribution's tail is alpha / 2 (see
    :func:`correlation_pvalues`): the edge between the "0" and "+" / "-"
    sides of a class of change.
    """
    df = n - 2.0
    t = stats.t.isf(alpha / 2, df)
    return float(t / np.sqrt(df + t * t))


def _side(r, n, alpha: float) -> np.ndarray:
    """Each correlation's side: 0 ("-"), 1 ("0"), 2 ("+") or NA."""
    if _whole_count(n):
        return _side_by_threshold(np.asarray(r), int(n), alpha)
    return _side_by_pvalue(r, n, alpha)


def _side_by_pvalue(r, n, alpha: float) -> np.ndarray:
    """:func:`_side` from each correlation's p-value (in float64)."""
    p = correlation_pvalues(r, n)
    side = np.where(p < alpha, np.sign(r) + 1, 1).astype(np.int8)
    side[np.isnan(p)] = _NA
    return side


def _bounds(n: int, alpha: float, dtype) -> tuple:
    """(below, above) in ``dtype``: |r| > above is significant, |r| <= below is not.

    The two lie on either side of :func:`significant_r`; the band between
    them is far wider than the rounding of either side; only correlations
    inside it need their p-values.
    """
    bound = significant_r(n, alpha)
    return tuple(dtype.type(bound * (1 + step)) for step in (-1e-5, 1e-5))


def _side_by_threshold(r: np.ndarray, n: int, alpha: float) -> np.ndarray:
    """:func:`_side` for one sample count, without a p-value per correlation
    (:func:`_bounds`)."""
    if r.dtype != np.float32:
        r = r.astype(np.float64)
    shape, r = r.shape, r.ravel()
    below, above = _bounds(n, alpha, r.dtype)

    def sides(size):  # -1, 0 or 1 (0 for NaN) for the bound `size`
        return (r > size).view(np.int8) - (r < -size).view(np.int8)

    side = sides(above)
    near = np.flatnonzero(side != sides(below))
    side += np.int8(1)
    if len(near):
        side[near] = _side_by_pvalue(r[near], n, alpha)
    side[np.isnan(r)] = _NA
    return side.reshape(shape)


def _engine_codes(r1: np.ndarray, r2: np.ndarray, n1: int, n2: int, alpha: float) -> np.ndarray:
    """The class codes of the engine's float32 correlations, decided by the engine from
    :func:`_bounds` in one pass; the few pairs it leaves undecided by their p-values."""
    codes = native.change_codes(r1, r2, _bounds(n1, alpha, r1.dtype), _bounds(n2, alpha, r2.dtype))
    open_rows = np.flatnonzero(codes < 0)
    if len(open_rows):
        sides = [_side_by_pvalue(r[open_rows], n, alpha) for r, n in ((r1, n1), (r2, n2))]
        codes[open_rows] = sides[0] * np.int8(len(_SIDES)) + sides[1]
    return codes


def _whole_count(n) -> bool:
    return np.ndim(n) == 0 and np.asarray(n).dtype.kind in "iu" and int(n) >= 3


def change_classes(r1, r2, n1, n2, alpha: float = 0.05) -> pd.Categorical | np.ndarray:
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
    pandas.Categorical
        One class per pair (its categories: every pair of "-", "0", "+" and
        "NA"). Inputs that are not one-dimensional give an ndarray of str
        (object dtype) shaped like ``r1`` and ``r2`` broadcast together.

    Examples
    --------
    >>> list(change_classes([0.9, 0.05, -0.8], [0.0, 0.02, 0.7], 40, 40))
    ['+/0', '0/0', '-/+']
    """
    _check_alpha(alpha)
    if (isinstance(r1, np.ndarray) and isinstance(r2, np.ndarray) and r1.dtype == r2.dtype == np.float32
            and r1.ndim == r2.ndim == 1 and len(r1) == len(r2) and _whole_count(n1) and _whole_count(n2)):
        codes = _engine_codes(r1, r2, int(n1), int(n2), alpha)
    else:
        side1, side2 = np.broadcast_arrays(_side(r1, n1, alpha), _side(r2, n2, alpha))
        codes = side1 * np.int8(len(_SIDES)) + side2
    classes = pd.Categorical.from_codes(codes.ravel(), dtype=_CLASS_DTYPE, validate=False)
    return classes if codes.ndim == 1 else np.asarray(classes, dtype=object).reshape(codes.shape)


def _check_alpha(alpha: float) -> None:
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must be between 0 and 1; got {alpha!r}")


def group_classes(correlations, sizes, alpha: float = 0.05) -> pd.Categorical:
    """The class of each pair across k groups, such as "+/0/-": each group's side in group order.

    Each group's side is decided as in :func:`change_classes` ("+" or "-"
    where its two-sided test of r = 0 gives p < ``alpha``, else "0", "NA"
    for an undefined r), and the sides are joined by "/" in the order of
    the groups; with two groups the classes are those of
    :func:`change_classes`.

    Parameters
    ----------
    correlations : array_like of float, shape (k, N)
        Each group's correlation of each pair.
    sizes : sequence of int
        Number of samples in each group (at least 3).
    alpha : float
        Significance level of each group's test, in (0, 1).

    Returns
    -------
    pandas.Categorical
        One class per pair; its categories are the classes that occur.

    Examples
    --------
    >>> list(group_classes([[0.9, 0.05], [0.0, 0.02], [-0.8, 0.7]], [40, 40, 40]))
    ['+/0/-', '0/0/+']
    """
    _check_alpha(alpha)
    sides = np.stack([_side(np.asarray(r), n, alpha) for r, n in zip(correlations, sizes)]).astype(np.int64)
    codes = np.zeros(sides.shape[1], dtype=np.int64)
    for side in sides:
        codes = codes * len(_SIDES) + side
    found, inverse = np.unique(codes, return_inverse=True)
    names = ["/".join(_SIDES[(code // len(_SIDES) ** np.arange(len(sizes) - 1, -1, -1)) % len(_SIDES)])
             for code in found]
    return pd.Categorical.from_codes(inverse.ravel(), categories=names)
