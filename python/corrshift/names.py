"""Turning names or integer positions into positions along one axis of the data."""

from __future__ import annotations

import numbers

import numpy as np
import pandas as pd

from .messages import few


def _is_position(x) -> bool:
    return isinstance(x, numbers.Integral) and not isinstance(x, (bool, np.bool_))


def is_positional(index: pd.Index) -> bool:
    """Whether an axis is unnamed: its names are the positions 0, 1, ..., n - 1 (a numpy array's axes,
    a DataFrame's default RangeIndex)."""
    return index.dtype.kind in "iu" and index.equals(pd.RangeIndex(len(index)))


def integers_are_names(index: pd.Index) -> bool:
    """Whether integers given for an axis are names (as with ``.loc``) rather than positions.

    They are names when the axis has integer names (an integer index, or
    an object index holding integers), unless those names are just the
    positions 0 ... n - 1, where both readings agree.
    """
    if index.dtype.kind in "iu":
        return not is_positional(index)
    if index.dtype == object:
        return any(_is_position(x) for x in index)
    return False


def positions(entries, index: pd.Index, what: str, axis: str) -> np.ndarray:
    """Positions (int64) of ``entries`` along an axis named by ``index``.

    Integers are positions (as with ``.iloc``), unless the axis has integer
    names (:func:`integers_are_names`): then every entry is a name (as with
    ``.loc``), and an integer that is no name is an error, never taken for a
    position. Anything else is a name looked up in ``index``. ``what`` names
    the argument in messages, ``axis`` the kind of entry ("sample",
    "feature").
    """
    entries = np.asarray(entries, dtype=object) if not isinstance(entries, np.ndarray) else entries
    entries = entries.ravel()
    n = len(index)
    by_name = integers_are_names(index)
    if by_name:
        is_pos = np.zeros(len(entries), dtype=bool)
    elif entries.dtype.kind in "iu":
        is_pos = np.ones(len(entries), dtype=bool)
    elif entries.dtype.kind == "f":
        raise ValueError(f"{what} must hold {axis} names or integer positions; got numbers with a "
                         f"fraction ({few(entries)})")
    else:
        is_pos = np.fromiter((_is_position(x) for x in entries), dtype=bool, count=len(entries))
    out = np.empty(len(entries), dtype=np.int64)

    pos = entries[is_pos].astype(np.int64)
    bad = pos[(pos < 0) | (pos >= n)]
    if len(bad):
        valid = f"positions 0 to {n - 1}" if n else "no positions"
        raise ValueError(f"{what}: {axis} position{'s' if len(bad) > 1 else ''} {few(bad)} out of range; "
                         f"data has {n} {axis}s ({valid})")
    out[is_pos] = pos

    named = entries[~is_pos]
    if len(named):
        found = index.get_indexer(pd.Index(named, dtype=object))
        missing = named[found < 0]
        if len(missing):
            hint = ""
            if by_name and any(_is_position(x) for x in missing):
                where = "index" if axis == "feature" else "columns"
                hint = (f"; the {axis} names are integers, so integers are read as names, not positions "
                        f"(to give positions, pass data.{where}[positions])")
            raise ValueError(f"{what}: {len(missing)} {axis} name{'s' if len(missing) > 1 else ''} not in "
                             f"the data: {few(missing)}; the data's {axis}s include {few(index, 3)}{hint}")
        out[~is_pos] = found
    return out
