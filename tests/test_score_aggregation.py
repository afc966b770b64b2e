"""Aggregation of Fisher differences per feature and per run."""

import numpy as np
import pytest

import corrshift._native_tests as nt
from score_reference import feature_members, score

f32 = np.float32
ALTERNATIVES = ("two-sided", "greater", "less")


def run_scores(z, starts, stops, aggregate, alternative):
    return nt.run_scores(
        np.array(z, f32), np.array(starts, np.int32), np.array(stops, np.int32), aggregate, alternative
    )


def test_membership_lists():
    assert nt.pair_index_list(0, 1) == [-1]
    k = 5
    pairs = [(i, j) for i in range(k) for j in range(i + 1, k)]
    for i in range(k):
        expected = [-1 if j == i else pairs.index((min(i, j), max(i, j))) for j in range(k)]
        assert nt.pair_index_list(i, k) == expected


@pytest.mark.parametrize("aggregate", ["mean", "median"])
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_single_feature_and_empty_run_score_zero(aggregate, alternative):
    assert nt.feature_scores(np.array([], f32), 1, aggregate, alternative) == [0.0]
    assert run_scores([1.0, 2.0], [1, 2], [1, 0], aggregate, alternative) == [0.0, 0.0]


def test_median_takes_the_upper_middle():
    def pick(values, q=0.5, magnitude=True):
        return nt.quantile_pick(np.array(values, f32), np.arange(len(values), dtype=np.int32), q, magnitude)

    assert pick([1.0, 3.0]) == 3.0
    assert pick([5.0, -1.0, 3.0]) == 3.0
    assert pick([4.0, 1.0, 3.0, 2.0]) == 3.0
    assert pick([-4.0, 1.0, 0.5, 2.0]) == 2.0
    assert pick([-4.0, 1.0, 0.5, 2.0], magnitude=False) == 1.0
    # trunc(c * q) in float32: 10 * 0.7f rounds to 7.0 (in double it stays below 7)
    assert pick(list(range(10)), 0.7) == 7.0
    positions = np.array([-1, 2, -1, 0], np.int32)  # negative positions are skipped
    assert nt.quantile_pick(np.array([9.0, 5.0, 1.0], f32), positions, 0.5, False) == 9.0
    assert nt.quantile_pick(np.array([9.0], f32), np.array([-1], np.int32), 0.5, False) == 0.0


@pytest.mark.parametrize(
    ("alternative", "median"), [("two-sided", 0.4), ("greater", 0.2), ("less", 0.2), ("other", 0.2)]
)
def test_signed_median_unless_two_sided(alternative, median):
    z = [-0.5, 0.2, 0.4]
    assert run_scores(z, [0], [3], "median", alternative) == [f32(median)]
    mean = (f32(0.5) + f32(0.2) + f32(0.4)) / f32(3)
    assert run_scores(z, [0], [3], "mean", alternative) == [mean]
    assert abs(mean - 0.36666667) < 1e-7


def test_nan_under_mean():
    got = run_scores([0.1, np.nan, 0.3], [0, 2], [2, 3], "mean", "two-sided")
    assert np.isnan(got[0]) and got[1] == f32(0.3)


@pytest.mark.parametrize("aggregate", ["mean", "median"])
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_feature_scores_over_all_pairs(aggregate, alternative):
    rng = np.random.default_rng(3)
    k = 7
    z = (rng.normal(size=k * (k - 1) // 2) * 3).astype(f32)
    got = nt.feature_scores(z, k, aggregate, alternative)
    expected = [score(feature_members(z, i, k), aggregate, alternative) for i in range(k)]
    np.testing.assert_array_equal(np.array(got, f32), np.array(expected, f32))


def test_unknown_aggregate_writes_nothing():
    assert nt.feature_scores(np.array([1.0], f32), 2, "max", "two-sided") == [12345.0, 12345.0]
    assert run_scores([1.0], [0], [1], "Median", "two-sided") == [12345.0]
