"""Gene sets as lists of feature pairs: the pairs inside each set, or between two sets.

The native scores of units (``corrshift._core.score_units``) take every
unit's pairs one after another in ``pair_first`` / ``pair_second``, with
``unit_starts[u]`` the position of unit u's first pair (unit u ends where
unit u + 1 begins, the last at the end of the lists). :func:`set_pairs`
builds those lists for a collection of sets, :func:`between_pairs` the
pairs of one unit joining two sets.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from .messages import few, warn
from .names import _is_position, positions
from .options import INT32_MAX



def _as_members(entries, what: str):
    """The entries of one set as a flat object array (a lone name is refused)."""
    if isinstance(entries, (str, bytes)) or np.ndim(entries) == 0:
        raise ValueError(f"{what} must be a list of feature names or positions; got {entries!r}")
    return np.asarray(list(entries) if not isinstance(entries, np.ndarray) else entries, dtype=object).ravel()


def _members(entries: np.ndarray, features: pd.Index, what: str) -> tuple[np.ndarray, np.ndarray]:
    """Sorted distinct positions of a set's features, and the names not in the data.

    Integers are positions (an out-of-range position is an error, not a
    missing feature); other entries are names, and names the data lacks
    are returned apart so that the caller can warn once for all sets.
    """
    named = np.array([not _is_position(x) for x in entries], dtype=bool)
    absent = np.zeros(len(entries), dtype=bool)
    if named.any():
        absent[named] = features.get_indexer(pd.Index(entries[named], dtype=object)) < 0
    found = positions(entries[~absent], features, what, "feature") if (~absent).any() else np.empty(0, np.int64)
    return np.unique(found), entries[absent]


def two_columns(frame: pd.DataFrame, names: tuple[str, str], what: str) -> tuple[pd.Series, pd.Series]:
    """The columns ``names`` of a table, or its only two columns in order when it lacks them.

    ``what`` names the table and its two columns in the message, e.g.
    "a sets DataFrame needs two columns (set and feature)".
    """
    if set(names) <= set(frame.columns):
        return frame[names[0]], frame[names[1]]
    if frame.shape[1] != 2:
        raise ValueError(f"{what}; got {frame.shape[1]}: {few(frame.columns)}")
    return frame.iloc[:, 0], frame.iloc[:, 1]


def _named_sets(sets) -> list[tuple[object, np.ndarray]]:
    """(name, entries) of each set, in the order given."""
    if isinstance(sets, pd.DataFrame):
        name, member = two_columns(sets, ("set", "feature"), "a sets DataFrame needs two columns (set and feature)")
        if name.isna().any():
            raise ValueError(f"the set column {name.name!r} has missing set names")
        return [(key, group.to_numpy(dtype=object)) for key, group in member.groupby(name.to_numpy(), sort=False)]
    if not isinstance(sets, dict):
        raise ValueError("sets must be a dict {set name: [features]} or a two-column DataFrame (set, feature); "
                         f"got {type(sets).__name__}")
    return [(key, _as_members(entries, f"sets[{key!r}]")) for key, entries in sets.items()]


def _warn_absent(absent: dict) -> None:
    if absent:
        names = np.concatenate(list(absent.values()))
        warn(f"{len(names)} feature name{'s' if len(names) > 1 else ''} of {len(absent)} "
              f"set{'s' if len(absent) > 1 else ''} not in the data, left out: {few(names)}")


def set_pairs(sets, features) -> tuple[np.ndarray, np.ndarray, np.ndarray, list]:
    """All pairs of features inside each set, set after set.

    Parameters
    ----------
    sets : dict or DataFrame
        ``{set name: [features]}``, or a table with one row per (set,
        feature): columns ``set`` and ``feature``, or exactly two columns
        in that order. Features are names or integer positions in
        ``features``. A feature listed twice in a set counts once.
    features : pandas Index or sequence
        The data's feature names, in the data's order.

    Returns
    -------
    first, second : ndarray of int32
        The pairs' feature positions, ``first < second``: for each set, all
        pairs of its features ordered by (first, second).
    starts : ndarray of int32
        Position in ``first`` / ``second`` of each set's first pair; set u
        holds pairs ``starts[u]`` up to ``starts[u + 1]`` (the last set up
        to the end), as ``unit_starts`` of ``corrshift._core.score_units``.
    names : list
        The set names, in the order given (a DataFrame's in order of first
        appearance).

    Warns
    -----
    CorrshiftWarning
        Once for all feature names not in the data (they are left out), and
        once for all sets with fewer than two features in the data. Such a
        set is kept, with no pairs: its score is NaN, so the result keeps
        one row per set given.

    Raises
    ------
    ValueError
        No set given, a position out of range, or more pairs than int32
        positions can index.

    Examples
    --------
    >>> set_pairs({"a": ["x", "z", "y"], "b": ["w"]}, ["w", "x", "y", "z"])
    (array([1, 1, 2], dtype=int32), array([2, 3, 3], dtype=int32), array([0, 3], dtype=int32), ['a', 'b'])
    """
    features = pd.Index(features)
    named = _named_sets(sets)
    if not named:
        raise ValueError("sets lists no set")
    members, absent = [], {}
    for name, entries in named:
        found, missing = _members(entries, features, f"set {name!r}")
        members.append(found)
        if len(missing):
            absent[name] = missing
    _warn_absent(absent)
    small = [name for (name, _), m in zip(named, members) if len(m) < 2]
    if small:
        warn(f"{len(small)} set{'s have' if len(small) > 1 else ' has'} fewer than 2 features in the data and "
              f"no pairs (score NaN): {few(small)}")
    sizes = np.array([len(m) * (len(m) - 1) // 2 for m in members], dtype=np.int64)
    if sizes.sum() > INT32_MAX:
        raise ValueError(f"the sets hold {sizes.sum()} pairs in all; at most {INT32_MAX} fit in one analysis")
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int32)
    first, second = np.empty(sizes.sum(), np.int32), np.empty(sizes.sum(), np.int32)
    for m, start, size in zip(members, starts, sizes):
        i, j = np.triu_indices(len(m), 1)
        first[start:start + size], second[start:start + size] = m[i], m[j]
    return first, second, starts, [name for name, _ in named]


def between_pairs(set_a, set_b, features) -> tuple[np.ndarray, np.ndarray]:
    """The pairs joining two sets: a in ``set_a``, b in ``set_b``, a != b.

    A feature in both sets pairs with every other feature of either set,
    and each unordered pair is listed once.

    Parameters
    ----------
    set_a, set_b : sequence
        Feature names or integer positions in ``features``.
    features : pandas Index or sequence
        The data's feature names, in the data's order.

    Returns
    -------
    first, second : ndarray of int32
        The pairs' feature positions, ``first < second``, ordered by
        (first, second); empty when the sets have no pair between them.

    Warns
    -----
    CorrshiftWarning
        Once for all feature names not in the data (they are left out).

    Examples
    --------
    >>> between_pairs(["x", "y"], ["y", "z"], ["x", "y", "z"])
    (array([0, 0, 1], dtype=int32), array([1, 2, 2], dtype=int32))
    """
    features = pd.Index(features)
    a, missing_a = _members(_as_members(set_a, "set_a"), features, "set_a")
    b, missing_b = _members(_as_members(set_b, "set_b"), features, "set_b")
    _warn_absent({k: v for k, v in (("set_a", missing_a), ("set_b", missing_b)) if len(v)})
    # Each pair comes from at most two (a, b) products: a bound found before
    # the products are made.
    too_many = ValueError(f"sets of {len(a)} and {len(b)} features have more pairs between them than "
                          f"{INT32_MAX}, the most one analysis takes")
    if (len(a) * len(b) - min(len(a), len(b))) // 2 > INT32_MAX:
        raise too_many
    x, y = (g.ravel() for g in np.meshgrid(a, b, indexing="ij"))
    keep = x != y
    lo, hi = np.minimum(x[keep], y[keep]), np.maximum(x[keep], y[keep])
    # Pairs met twice (both features in both sets) fold onto one code.
    codes = np.unique(lo * np.int64(len(features)) + hi)
    if len(codes) > INT32_MAX:
        raise too_many
    return (codes // len(features)).astype(np.int32), (codes % len(features)).astype(np.int32)


def unit_pairs(sets, features, exclude=None) -> tuple[np.ndarray, np.ndarray, np.ndarray, list]:
    """The pairs of each unit that :func:`corrshift.score` scores with ``sets=``.

    Parameters
    ----------
    sets : dict or DataFrame
        As :func:`set_pairs` takes them; in a dict, a value that is a tuple
        of two feature lists ``(A, B)`` is the unit of the pairs between A
        and B (:func:`between_pairs`) instead of a set.
    features : pandas Index
        The analysed features.
    exclude : ndarray of bool, optional
        Features whose pairs are left out (their correlations are undefined
        in a group).

    Returns
    -------
    first, second, starts, names
        As :func:`set_pairs`, for the units in the order given.
    """
    features = pd.Index(features)
    if isinstance(sets, dict) and any(_is_between(v) for v in sets.values()):
        parts = [between_pairs(*members, features) + (np.zeros(1, np.int32), [name]) if _is_between(members)
                 else set_pairs({name: members}, features) for name, members in sets.items()]
        firsts, seconds = [p[0] for p in parts], [p[1] for p in parts]
        names = [p[3][0] for p in parts]
    else:
        first, second, starts, names = set_pairs(sets, features)
        bounds = np.append(starts, len(first))
        firsts = [first[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
        seconds = [second[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
    if exclude is not None and exclude.any():
        kept = [~(exclude[f] | exclude[s]) for f, s in zip(firsts, seconds)]
        firsts = [f[k] for f, k in zip(firsts, kept)]
        seconds = [s[k] for s, k in zip(seconds, kept)]
    sizes = np.array([len(f) for f in firsts], dtype=np.int64)
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int32)
    empty = np.zeros(0, np.int32)
    return (np.concatenate(firsts or [empty]).astype(np.int32), np.concatenate(seconds or [empty]).astype(np.int32),
            starts, names)


def _is_between(members) -> bool:
    return isinstance(members, tuple) and len(members) == 2 and all(not isinstance(m, str) for m in members)
