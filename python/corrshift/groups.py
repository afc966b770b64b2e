"""The two groups of samples: positions, boolean masks, names, or labels."""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from .inputs import DataTable
from .messages import few, warn
from .names import is_positional, positions

if TYPE_CHECKING:
    from .between import Sides

#: Fewest samples of a group: with two, every correlation is 1, -1 or
#: undefined. (The normal approximation of the z-test needs 4; with 3 only
#: the permutation test has a p-value.)
MIN_GROUP = 3


@dataclasses.dataclass(frozen=True)
class Groups:
    """Sample positions of both groups and the names shown for them."""

    first: np.ndarray
    second: np.ndarray
    names: tuple[str, str] = ("group1", "group2")

    def label(self, index: int) -> str:
        """How messages name group ``index`` (0 or 1): "group1", or "group1 ('treated')"."""
        name, shown = f"group{index + 1}", self.names[index]
        return name if shown == name else f"{name} ({shown!r})"


@dataclasses.dataclass(frozen=True, kw_only=True)
class SampleOptions:
    """What an analysis keeps of its options about the samples and features, whatever its groups."""

    min_cells: int | float | None = None
    filtered: pd.Index = dataclasses.field(default_factory=lambda: pd.Index([]))
    #: One stratum number per column of ``matrix`` (permutations deal within strata), or None.
    strata: np.ndarray | None = None
    strata_names: tuple = ()
    #: The level of each group's test of r = 0 behind a pair's class of change.
    class_alpha: float = 0.05
    #: With ``between``/``other``: the two sets of features, whose rows (A's, then B's) ``matrix`` holds.
    sides: Sides | None = None


def resolve_groups(table: DataTable, group1, group2, groupby=None, groups=None) -> Groups:
    """Both groups as sample positions, checked for size and overlap."""
    if groupby is not None or groups is not None:
        if group1 is not None or group2 is not None:
            raise ValueError("give the groups either as group1 and group2 or as groupby= with groups=, not both")
        result = _labelled_groups(table, groupby, groups)
    else:
        if group1 is None or group2 is None:
            raise ValueError("give both groups: group1 and group2 (sample positions, names or boolean masks), "
                             "or groupby= and groups=(label1, label2)")
        result = Groups(_group_positions(group1, table.samples, "group1"),
                        _group_positions(group2, table.samples, "group2"))
    _check_groups(result, table.samples)
    return result


def _group_positions(given, samples: pd.Index, name: str) -> np.ndarray:
    if isinstance(given, (str, bytes)) or np.ndim(given) == 0:
        raise ValueError(f"{name} must be a list of samples (positions or names) or a boolean mask; "
                         f"got {given!r}")
    if isinstance(given, pd.Series) and pd.api.types.is_bool_dtype(given.dtype):
        if given.index.isin(samples).all() and len(given.index) == len(samples) and given.index.is_unique:
            given = given.reindex(samples)  # aligned on the sample names
        given = given.to_numpy(dtype=bool)
    array = np.asarray(given)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional; got shape {array.shape}")
    if array.dtype == bool:
        if len(array) != len(samples):
            raise ValueError(f"{name} is a boolean mask of {len(array)} entries but the data has "
                             f"{len(samples)} samples")
        return np.flatnonzero(array)
    return positions(given if isinstance(given, np.ndarray) else list(given), samples, name, "sample")


def _labelled_groups(table: DataTable, groupby, groups) -> Groups:
    if groupby is None or groups is None:
        raise ValueError("groupby= (one label per sample) and groups=(label1, label2) go together")
    if isinstance(groups, (str, bytes)) or np.ndim(groups) != 1 or len(groups) != 2:
        raise ValueError(f"groups must be two labels (label1, label2); got {groups!r}")
    found = labelled_positions(table, groupby, groups)
    return Groups(found[0], found[1], (str(groups[0]), str(groups[1])))


def labelled_positions(table: DataTable, groupby, labels) -> list[np.ndarray]:
    """The sample positions of each label of ``labels`` in ``groupby``, in order; ValueError for a label
    given twice or that no sample of the data has. Warns as :func:`resolve_groups` does for a ``groupby``
    Series that leaves samples out."""
    seen = set()
    for label in labels:
        if label in seen:
            raise ValueError(f"groups names the same label twice: {label!r}")
        seen.add(label)
    values = sample_labels(table, groupby)
    if isinstance(groupby, pd.Series):
        warn_unlabelled(groupby.index, table.samples, "groupby")
    found = []
    for label in labels:
        mask = (values == label).to_numpy(dtype=bool, na_value=False)
        if not mask.any():
            raise ValueError(_unlabelled(label, values, groupby, table.samples))
        found.append(np.flatnonzero(mask))
    return found


def _unlabelled(label, labels: pd.Series, groupby, samples: pd.Index) -> str:
    """Why no sample of the data has ``label``: none has it, or those that have it are not in the data."""
    if isinstance(groupby, pd.Series):
        elsewhere = groupby.index[(groupby == label).to_numpy(dtype=bool, na_value=False)]
        if len(elsewhere):
            return (f"no sample of the data is labelled {label!r}: the {len(elsewhere)} sample"
                    f"{'s' if len(elsewhere) > 1 else ''} labelled {label!r} in groupby ({few(elsewhere, 3)}) "
                    f"{'are' if len(elsewhere) > 1 else 'is'} not among the data's samples ({few(samples, 3)})")
    return f"no sample is labelled {label!r}; the labels are {few(labels.dropna().unique())}"


def warn_unlabelled(labelled: pd.Index, samples: pd.Index, what: str) -> None:
    """Warn when an annotation leaves samples of the data out: they get no label, so they are in neither group.

    ``labelled`` are the sample names the annotation lists (a Series'
    index, a file's first column), ``samples`` the data's, ``what`` the
    annotation in the message ("groupby", "--groups 'samples.tsv'"). The
    message counts and names some of the left-out samples and, where the
    annotation lists names that are no sample of the data, some of those
    (names written differently, such as numbers that lost their leading
    zeros, show there).
    """
    missing = samples[~samples.isin(labelled)]
    if not len(missing):
        return
    strangers = labelled[~labelled.isin(samples)]
    also = ""
    if len(strangers):
        names = f"{len(strangers)} names it lists are" if len(strangers) > 1 else "1 name it lists is"
        also = f"; {names} no sample of the data ({few(strangers, 3)}): are the names written the same way?"
    many = len(missing) > 1
    warn(f"{what} does not list {len(missing)} of the data's {len(samples)} samples, which "
         f"{'are' if many else 'is'} therefore in neither group: {few(missing)}{also}")


def sample_labels(table: DataTable, groupby, name: str = "groupby") -> pd.Series:
    """One label per sample of the data, in sample order (NaN: none), from ``groupby`` given as
    :func:`corrshift.ztest` takes it; ``name`` is the option's name in messages."""
    samples = table.samples
    if isinstance(groupby, str):
        if table.obs is None:
            raise ValueError(f"{name}={groupby!r} names a column of an AnnData's .obs; for other data pass "
                             "the labels themselves (a Series indexed by sample name, or one label per sample)")
        if groupby not in table.obs.columns:
            raise ValueError(f"the AnnData's .obs has no column {groupby!r}; its columns are "
                             f"{few(table.obs.columns, 8)}")
        return pd.Series(np.asarray(table.obs[groupby], dtype=object), index=samples)
    if isinstance(groupby, pd.Series):
        return _aligned_labels(groupby, samples, name)
    labels = np.asarray(groupby, dtype=object)
    if labels.ndim != 1 or len(labels) != len(samples):
        raise ValueError(f"{name} must hold one label per sample ({len(samples)}); got shape {labels.shape}")
    return pd.Series(labels, index=samples)


def _aligned_labels(labels: pd.Series, samples: pd.Index, name: str = "groupby") -> pd.Series:
    """A Series of labels matched to the samples by its index (by name, never by position)."""
    fix = ("index the labels by sample name (for example annotation.set_index('sample')['group']), or pass "
           "them as a list or array in the data's sample order (labels.to_numpy())")
    if is_positional(labels.index) and not is_positional(samples):
        raise ValueError(f"{name} is a Series with a default index (0, 1, 2, ...) but the data's samples have "
                         f"names ({few(samples, 3)}); its labels would be matched by row number, not by "
                         f"sample: {fix}")
    shared = labels.index.isin(samples)
    if not shared.any():
        raise ValueError(f"{name}'s index ({few(labels.index, 3)}) shares no name with the data's samples "
                         f"({few(samples, 3)}): {fix}")
    if not labels.index.is_unique:
        raise ValueError(f"{name}'s index repeats sample names: "
                         f"{few(labels.index[labels.index.duplicated()].unique())}")
    return pd.Series(labels.reindex(samples).to_numpy(dtype=object), index=samples)


def _check_groups(groups: Groups, samples: pd.Index) -> None:
    for index, positions_ in enumerate((groups.first, groups.second)):
        label = groups.label(index)
        if len(positions_) == 0:
            raise ValueError(f"{label} is empty")
        values, counts = np.unique(positions_, return_counts=True)
        if (counts > 1).any():
            raise ValueError(f"{label} lists samples more than once: {few(samples[values[counts > 1]])}")
        if len(positions_) < MIN_GROUP:
            raise ValueError(f"{label} has {len(positions_)} sample{'s' if len(positions_) != 1 else ''}; "
                             f"correlations need at least {MIN_GROUP} per group (with 2, every correlation "
                             "is 1, -1 or undefined)")
    both = np.intersect1d(groups.first, groups.second)
    if len(both):
        raise ValueError(f"group1 and group2 share {len(both)} sample{'s' if len(both) != 1 else ''}: "
                         f"{few(samples[both])}; a sample can be in one group only")
