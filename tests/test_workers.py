"""Work partition and fork-join of worker threads."""

import numpy as np
import pytest

import corrshift._native_tests as nt


@pytest.mark.parametrize(
    ("units", "workers", "ranges"),
    [
        (10, 4, [(0, 2), (2, 4), (4, 6), (6, 10)]),
        (3, 5, [(0, 0), (0, 0), (0, 0), (0, 0), (0, 3)]),
        (7, 1, [(0, 7)]),
        (0, 3, [(0, 0), (0, 0), (0, 0)]),
        (9, 3, [(0, 3), (3, 6), (6, 9)]),
    ],
)
def test_split_range(units, workers, ranges):
    assert [nt.split_range(units, workers, j) for j in range(workers)] == ranges


@pytest.mark.parametrize(("units", "workers"), [(10, 4), (3, 5), (1, 7), (100, 2)])
def test_fork_join_covers_every_unit_once(units, workers):
    assert nt.run_workers_failing(units, workers, -1) == [1] * units


@pytest.mark.parametrize("bad", [0, 5, 9])
def test_worker_exception_reaches_the_caller(bad):
    with pytest.raises(MemoryError):
        nt.run_workers_failing(10, 3, bad)
    assert nt.run_workers_failing(10, 3, -1) == [1] * 10


@pytest.fixture
def failing_thread_start():
    yield nt.fail_thread_start_at
    nt.fail_thread_start_at(-1)


@pytest.mark.parametrize("j", [0, 1, 3])
def test_thread_that_cannot_start_fails_the_call(j, failing_thread_start, real_matrix, capfd):
    data, group1, group2 = real_matrix  # 6 features: every phase starts all 4 workers
    expected = nt.ztest_pipeline_exhaustive(data, group1, group2, "spearman", "two-sided", 2, 4)
    failing_thread_start(j)
    with pytest.raises(RuntimeError, match="worker thread"):
        nt.ztest_pipeline_exhaustive(data, group1, group2, "spearman", "two-sided", 2, 4)
    with pytest.raises(RuntimeError, match="worker thread"):
        nt.score_pipeline_exhaustive(data, group1, group2, "pearson", "mean", "less", 2, 4)
    failing_thread_start(-1)
    result = nt.ztest_pipeline_exhaustive(data, group1, group2, "spearman", "two-sided", 2, 4)
    for a, b in zip(result, expected):
        np.testing.assert_array_equal(a, b)
    capfd.readouterr()
