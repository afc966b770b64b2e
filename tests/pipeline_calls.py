"""Calling the four module functions by argument name, with small defaults."""

import numpy as np
import pipelines

import sample_data

PARAMETERS = {
    "_ztest_pipeline_indexed": (
        "data", "pair_first", "pair_second", "group1", "group2", "method", "alternative", "permutations",
        "processes",
    ),
    "_score_pipeline_indexed": (
        "data", "pair_first", "pair_second", "group1", "group2", "method", "aggregate", "alternative",
        "permutations", "processes",
    ),
    "_ztest_pipeline_exhaustive": (
        "data", "group1", "group2", "method", "alternative", "permutations", "processes",
    ),
    "_score_pipeline_exhaustive": (
        "data", "group1", "group2", "method", "aggregate", "alternative", "permutations", "processes",
    ),
}
FUNCTIONS = tuple(PARAMETERS)
INDEXED = tuple(name for name in FUNCTIONS if "indexed" in name)
SCORES = tuple(name for name in FUNCTIONS if "score" in name)
ZTESTS = tuple(name for name in FUNCTIONS if "ztest" in name)


def defaults():
    """Arguments of a small valid call on the worked example."""
    return {
        "data": sample_data.WORKED_DATA.copy(),
        "pair_first": np.array([0, 0, 1], dtype=np.int32),
        "pair_second": np.array([1, 2, 2], dtype=np.int32),
        "group1": sample_data.WORKED_GROUP1.copy(),
        "group2": sample_data.WORKED_GROUP2.copy(),
        "method": "pearson",
        "aggregate": "mean",
        "alternative": "two-sided",
        "permutations": 3,
        "processes": 2,
    }


def arguments(name, **overrides):
    """Positional arguments of `name` from the defaults and `overrides`."""
    given = defaults()
    unknown = set(overrides) - set(given)
    if unknown:
        raise KeyError(unknown)
    given.update(overrides)
    return [given[p] for p in PARAMETERS[name]]


def call(name, **overrides):
    """Calls module function `name` with the defaults and `overrides`."""
    return getattr(pipelines, name)(*arguments(name, **overrides))


def assert_same_results(got, expected):
    """Two result tuples hold arrays of the same types and values, element for element."""
    assert len(got) == len(expected)
    for x, y in zip(got, expected):
        assert x.dtype == y.dtype
        np.testing.assert_array_equal(x, y)
