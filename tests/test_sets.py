"""corrshift.sets: the pair lists of gene sets, as the native unit scores take them."""

import itertools

import numpy as np
import pandas as pd
import pytest

from corrshift import CorrshiftWarning
from corrshift.sets import between_pairs, set_pairs

FEATURES = pd.Index(["w", "x", "y", "z", "v"])


def listed(first, second):
    return list(zip(first.tolist(), second.tolist()))


def test_pairs_of_each_set_follow_one_another():
    first, second, starts, names = set_pairs({"s": ["z", "x", 4, "x"], "t": ["y", "w"], "u": [1, 2, 3]},
                                             FEATURES)
    assert all(a.dtype == np.int32 for a in (first, second, starts))
    assert names == ["s", "t", "u"]
    # Members sorted by position and counted once; the pairs of each set in (first, second) order.
    assert listed(first, second) == [(1, 3), (1, 4), (3, 4), (0, 2), (1, 2), (1, 3), (2, 3)]
    assert starts.tolist() == [0, 3, 4]


@pytest.mark.parametrize("table", [
    pd.DataFrame({"feature": ["y", "x", "w", "z", "v"], "set": ["b", "a", "b", "a", "a"]}),
    pd.DataFrame({"pathway": ["b", "a", "b", "a", "a"], "gene": ["y", "x", "w", "z", "v"]}),
])
def test_a_table_of_members_gives_the_same_pairs_as_a_dict(table):
    from_table = set_pairs(table, FEATURES)
    from_dict = set_pairs({"b": ["y", "w"], "a": ["x", "z", "v"]}, FEATURES)
    for got, want in zip(from_table[:3], from_dict[:3]):
        np.testing.assert_array_equal(got, want)
    assert from_table[3] == ["b", "a"]


def test_missing_features_and_small_sets_are_reported_once():
    with pytest.warns(CorrshiftWarning) as caught:
        first, second, starts, names = set_pairs(
            {"one": ["x", "GONE"], "none": ["LOST"], "full": ["w", "x", "y", "ALSO GONE"]}, FEATURES)
    messages = [str(w.message) for w in caught]
    assert len(messages) == 2 and all(w.category is CorrshiftWarning for w in caught)
    assert "3 feature names of 3 sets not in the data" in messages[0] and "'GONE'" in messages[0]
    assert messages[1].startswith("2 sets have fewer than 2 features") and "'one', 'none'" in messages[1]
    # Small sets stay as units without pairs: their scores come back NaN, one row per set.
    assert names == ["one", "none", "full"]
    assert starts.tolist() == [0, 0, 0]
    assert listed(first, second) == [(0, 1), (0, 2), (1, 2)]


@pytest.mark.parametrize("sets, message", [
    ({}, "no set"),
    ({"s": "x"}, "must be a list of feature names"),
    ({"s": ["x", 9]}, "out of range"),
    (pd.DataFrame({"a": ["s"], "b": ["x"], "c": [1]}), "needs two columns"),
    (pd.DataFrame({"set": [None, "s"], "feature": ["x", "y"]}), "missing set names"),
    ([["x", "y"]], "must be a dict"),
])
def test_refused(sets, message):
    with pytest.raises(ValueError, match=message):
        set_pairs(sets, FEATURES)


@pytest.mark.parametrize("a, b", [
    (["w", "x"], ["y", "z"]),  # apart
    (["w", "x", "y"], ["x", "y", "z"]),  # overlapping: x-y once, no x-x
    (["x", "y"], ["x", "y"]),  # the same set: its inside pairs
    (["y"], ["y"]),  # nothing but a feature with itself
])
def test_between_two_sets_lists_each_unordered_pair_once(a, b):
    first, second = between_pairs(a, b, FEATURES)
    assert first.dtype == second.dtype == np.int32
    where = {f: i for i, f in enumerate(FEATURES)}
    expected = sorted({tuple(sorted((where[p], where[q]))) for p, q in itertools.product(a, b) if p != q})
    assert listed(first, second) == expected


def test_between_two_sets_leaves_out_missing_features():
    with pytest.warns(CorrshiftWarning, match="1 feature name of 1 set not in the data.*'GONE'"):
        first, second = between_pairs([0, "GONE"], [4], FEATURES)
    assert listed(first, second) == [(0, 4)]
