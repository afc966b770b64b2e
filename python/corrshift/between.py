"""Pairs between two sets of features: ``between=(A, B)`` and ``other=``.

The two sets become one stacked matrix: the rows of set A first, then the
rows of set B (KA + KB rows), and the analysis runs over the rectangle of
pairs (a, b), a-major (:func:`corrshift.pairs.rectangle_pairs`). Set A holds
features of ``data``; set B features of ``data`` too, or of a second matrix
``other`` of the same samples (another modality), whose rows are read for
the analysed samples and prepared with those of ``data``, as one matrix.

A feature in both sets stands in two rows of the stacked matrix; its pair
with itself (r = 1 by definition) is left out, and a pair of two such
features comes both ways, (x, y) and (y, x).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping

import numpy as np
import pandas as pd

from .inputs import DataTable, analysed_values, as_table
from .messages import few
from .names import is_positional, positions


@dataclasses.dataclass(frozen=True)
class Sides:
    """The two sets of a stacked matrix: its first ``count_a`` rows are set A, the others set B.

    ``names_a`` and ``names_b`` are their features' names (a name may be on
    both sides); ``same`` gives each stacked row the id of its feature when
    a feature is on both sides (its pair with itself is left out), else None.
    """

    count_a: int
    names_a: pd.Index
    names_b: pd.Index
    same: np.ndarray | None = None

    @property
    def count_b(self) -> int:
        return len(self.names_b)

    @property
    def pairs(self) -> int:
        """The rows of the z-test: every pair across, but a feature's pair with itself."""
        return self.tested_pairs(np.zeros(self.count_a + self.count_b, dtype=bool))

    def tested_pairs(self, untestable: np.ndarray) -> int:
        """The pairs across of two rows not marked ``untestable`` (one per stacked row), counted without
        listing them."""
        ok_a, ok_b = ~untestable[:self.count_a], ~untestable[self.count_a:]
        both = 0 if self.same is None else len(np.intersect1d(self.same[:self.count_a][ok_a],
                                                              self.same[self.count_a:][ok_b]))
        return int(ok_a.sum()) * int(ok_b.sum()) - both

    def positions_b(self, second: np.ndarray) -> np.ndarray:
        """Positions in ``names_b`` of stacked rows of set B."""
        return second - self.count_a

    def attrs(self) -> dict:
        """What a table's ``attrs`` record of the two sets: their feature counts."""
        return {"features_a": self.count_a, "features_b": self.count_b}


def check_between(between, other, pairs, sets=None) -> None:
    """Refuse ``between``/``other`` that cannot be used, and their company: ``pairs`` (and score's ``sets``)."""
    if between is None and other is None:
        return
    given = "between=" if other is None else "other=" if between is None else "between= and other="
    if pairs is not None or sets is not None:
        what = "pairs=" if pairs is not None else "sets="
        raise ValueError(f"{given} and {what} do not go together: {given} tests every pair between two sets of "
                         f"features, {what} lists its own; choose one")
    if between is not None and (isinstance(between, (str, bytes, Mapping)) or not hasattr(between, "__len__")
                                or len(between) != 2):
        raise ValueError("between must be two lists of features (A, B), as names, positions or boolean masks; "
                         f"got {between!r}")
    if _is_mudata(other):
        raise ValueError("other is a MuData: pass its modalities as AnnData objects, e.g. "
                         "data=mdata['rna'], other=mdata['atac']")


def _is_mudata(data) -> bool:
    return hasattr(data, "mod") and isinstance(getattr(data, "mod"), Mapping)


def check_data(data) -> None:
    """Refuse a MuData as ``data`` with the form that works: one AnnData per modality."""
    if _is_mudata(data):
        raise ValueError("data is a MuData: pass one modality as data and another as other, e.g. "
                         "data=mdata['rna'], other=mdata['atac']; for pairs within one modality, data=mdata['rna']")


def side_positions(entries, index: pd.Index, side: str) -> np.ndarray:
    """Positions (int64) along ``index`` of one set of ``between``: names, positions or a boolean mask.

    A set must be non-empty and list each feature once.
    """
    what = f"between set {side}"
    values = np.asarray(list(entries) if not isinstance(entries, (np.ndarray, pd.Index, pd.Series)) else entries,
                        dtype=object if not isinstance(entries, np.ndarray) else None)
    if len(values) and all(isinstance(v, (bool, np.bool_)) for v in values.ravel()):
        if len(values) != len(index):
            raise ValueError(f"{what} is a boolean mask of {len(values)} entries; the data has {len(index)} "
                             "features")
        found = np.flatnonzero(values.astype(bool))
    else:
        found = positions(values, index, what, "feature")
    if not len(found):
        raise ValueError(f"{what} holds no feature")
    unique, counts = np.unique(found, return_counts=True)
    if (counts > 1).any():
        raise ValueError(f"{what} lists {few(index[unique[counts > 1]])} more than once; list each feature once")
    return found


@dataclasses.dataclass(frozen=True)
class Other:
    """The values of ``other`` for the analysed samples, and its features' names."""

    values: np.ndarray
    features: pd.Index


def other_values(other, layer, data: DataTable, columns: np.ndarray, rows: np.ndarray | None = None) -> Other:
    """Read ``other`` (a second matrix of the samples of ``data``) for the analysed ``columns`` of ``data``
    (only its features at positions ``rows`` when given; ``features`` still names them all).

    Samples are matched by name where both have sample names (DataFrame
    columns, AnnData ``obs_names``), by position otherwise, which needs the
    same number of samples.
    """
    table = as_table(other, layer)
    if len(table.features) == 0:
        raise ValueError("other has no features (rows)")
    if is_positional(data.samples) or is_positional(table.samples):
        if len(table.samples) != len(data.samples):
            raise ValueError(f"other has {len(table.samples)} samples and data {len(data.samples)}: without "
                             "sample names on both, samples are matched by position and the counts must agree")
        found = columns
    else:
        wanted = data.samples[columns]
        found = table.samples.get_indexer(wanted)
        missing = wanted[found < 0]
        if len(missing):
            raise ValueError(f"other lacks {len(missing)} of the analysed samples of data: {few(missing)}; "
                             "other must hold every sample of the two groups")
    return Other(analysed_values(table, found, rows), table.features)


def sided_rows(between, other: Other | None, features: pd.Index, count: int) -> tuple[np.ndarray, np.ndarray]:
    """The features of set A and of set B as positions among the data's ``count`` features followed by
    ``other``'s (``features`` names them all): ``between`` names them, in ``data`` or, with ``other``, A in
    ``data`` and B in ``other``; without it, A is every feature of ``data`` and B every one of ``other``."""
    data_names = features[:count]
    if between is None:
        return np.arange(count), np.arange(count, len(features))
    a = side_positions(between[0], data_names, "A")
    if other is None:
        return a, side_positions(between[1], data_names, "B")
    return a, count + side_positions(between[1], other.features, "B")


def stacked_sides(a: np.ndarray, b: np.ndarray, kept: np.ndarray, features: pd.Index) -> tuple[np.ndarray, Sides]:
    """The rows of the stacked matrix (A's then B's, as rows of a prepared matrix) and its :class:`Sides`.

    ``a`` and ``b`` are positions among ``features``; ``kept`` maps each to
    its prepared row, -1 where ``min_cells`` left it out (its pairs go too).
    """
    ra, rb = kept[a], kept[b]
    for rows, side in ((ra, "A"), (rb, "B")):
        if not (rows >= 0).any():
            raise ValueError(f"min_cells leaves out every feature of between set {side}")
    a, b = a[ra >= 0], b[rb >= 0]
    both = np.intersect1d(a, b)
    same = np.concatenate([a, b]) if len(both) else None
    sides = Sides(len(a), features[a], features[b], same)
    return np.concatenate([kept[a], kept[b]]), sides
