"""Ranks within a group's columns, ties included."""

import numpy as np
import pytest

import corrshift._native_tests as nt
from reference_index_sort import reference_ranks

UNSET = -7.0


def ranks_of(matrix, columns, threads=1):
    matrix = np.asarray(matrix, dtype=np.float32)
    out = np.full(matrix.shape, UNSET, dtype=np.float32)
    return nt.rank_rows(matrix, out, np.asarray(columns, dtype=np.int32), threads)


def test_ties_rank_in_column_list_order():
    got = ranks_of([[0.5, -1, 0.5, 3, 2]], [0, 1, 2, 3, 4])
    np.testing.assert_array_equal(got, [[1, 0, 2, 4, 3]])


def test_only_listed_columns_are_written():
    got = ranks_of([[10, 20, 30, 40, 0]], [4, 1, 3])
    np.testing.assert_array_equal(got, [[UNSET, 1, UNSET, 2, 0]])


@pytest.mark.parametrize("m", [0, 1])
def test_tiny_column_lists(m):
    got = ranks_of([[5.0, 6.0], [7.0, 7.0]], list(range(m)))
    expected = np.full((2, 2), UNSET, dtype=np.float32)
    expected[:, :m] = 0
    np.testing.assert_array_equal(got, expected)


def tie_heavy_rows(rng, count):
    """Rows of count-like values (mostly zeros), some with NaN, of 33 to 300 entries."""
    for trial in range(count):
        m = int(rng.integers(33, 301))
        row = rng.poisson(rng.choice([0.3, 1.0, 4.0]), size=m).astype(np.float32)
        if trial % 3 == 0:
            row[rng.random(m) < 0.1] = np.nan
        if trial % 5 == 0:
            row[:] = 0.0
        yield row


def test_ties_in_long_groups_follow_the_index_sort():
    rng = np.random.default_rng(5)
    differs_from_stable = 0
    for row in tie_heavy_rows(rng, 150):
        m = row.size
        columns = rng.permutation(2 * m)[:m].astype(np.int32)  # a subset, in shuffled order
        matrix = np.zeros((1, 2 * m), dtype=np.float32)
        matrix[0, columns] = row
        got = ranks_of(matrix, columns)[0]
        expected, heap_sorted = reference_ranks([float(v) for v in row])
        assert not heap_sorted  # the whole order is then fixed by the steps compared here
        np.testing.assert_array_equal(got[columns], expected)
        finite = ~np.isnan(row)
        stable = np.empty(m, dtype=np.int64)
        stable[np.argsort(row, kind="stable")] = np.arange(m)
        differs_from_stable += not np.array_equal(stable[finite], np.asarray(expected)[finite])
    # A stable sort (std::stable_sort, numpy) would give other ranks to ties.
    assert differs_from_stable > 100


def test_ranks_are_a_permutation_whatever_the_values():
    rng = np.random.default_rng(8)
    matrix = rng.poisson(0.5, size=(20, 200)).astype(np.float32)
    matrix[10:][rng.random((10, 200)) < 0.2] = np.nan  # rows 10-19 hold NaN, row 19 only NaN
    matrix[19] = np.nan
    columns = rng.permutation(200)[:150].astype(np.int32)
    got = ranks_of(matrix, columns, threads=3)
    for r in range(20):
        assert sorted(got[r, columns]) == list(range(150))
        if r < 10:
            by_rank = matrix[r, columns][np.argsort(got[r, columns])]
            assert np.all(np.diff(by_rank) >= 0)


@pytest.mark.parametrize("threads", [2, 3, 8])
def test_thread_count_does_not_change_ranks(threads):
    rng = np.random.default_rng(11)
    matrix = rng.poisson(0.4, size=(3, 90)).astype(np.float32)
    columns = np.arange(0, 90, 2, dtype=np.int32)
    np.testing.assert_array_equal(ranks_of(matrix, columns, threads), ranks_of(matrix, columns, 1))
