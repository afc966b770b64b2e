"""The two score functions end to end."""

import numpy as np
import pipelines
import pytest

from pipeline_calls import assert_same_results
from score_reference import feature_members, score

ALTERNATIVES = ("two-sided", "greater", "less")
AGGREGATES = ("mean", "median")
i32 = np.int32


def exhaustive(data, group1, group2, method="pearson", aggregate="mean", alternative="two-sided",
               permutations=4, processes=2):
    return pipelines._score_pipeline_exhaustive(
        data, group1, group2, method, aggregate, alternative, permutations, processes
    )


def indexed(data, first, second, group1, group2, method="pearson", aggregate="mean", alternative="two-sided",
            permutations=4, processes=2):
    return pipelines._score_pipeline_indexed(
        data, np.array(first, i32), np.array(second, i32), group1, group2, method, aggregate, alternative,
        permutations, processes,
    )


def pair_differences(data, first, second, group1, group2, method="pearson"):
    """Observed Fisher differences of the listed pairs."""
    return pipelines._ztest_pipeline_indexed(
        data, np.array(first, i32), np.array(second, i32), group1, group2, method, "two-sided", 0, 1
    )[2]


# ---- runs of listed pairs ---------------------------------------------------

RUNS = [
    # pair_first, pair_second, run_firsts, positions of each run
    ([0, 0, 1, 2, 2, 2], [1, 2, 3, 3, 4, 5], [0, 1, 2], [[0, 1], [2], [3, 4, 5]]),
    ([2, 2, 1, 3], [0, 4, 5, 1], [2, 3], [[0, 1], [3]]),
    ([0, 1, 0, 1], [1, 2, 3, 4], [0, 1], [[0], [1]]),
    ([4, 4, 4], [0, 5, 1], [4], [[0, 1, 2]]),
    ([5, 3, 5, 0], [1, 2, 0, 2], [5], [[0]]),
]


@pytest.mark.parametrize(("first", "second", "run_firsts", "members"), RUNS)
@pytest.mark.parametrize("aggregate", AGGREGATES)
def test_run_decomposition(real_matrix, first, second, run_firsts, members, aggregate):
    data, group1, group2 = real_matrix
    z = pair_differences(data, first, second, group1, group2, "spearman")
    got_firsts, scores, pvalues = indexed(data, first, second, group1, group2, "spearman", aggregate, "less", 3)
    assert got_firsts.dtype == np.int32
    np.testing.assert_array_equal(got_firsts, run_firsts)
    expected = [score([z[p] for p in run], aggregate, "less") for run in members]
    np.testing.assert_array_equal(scores, np.array(expected, np.float32))
    assert pvalues.shape == (len(run_firsts),)


def test_skipped_positions_enter_no_score(real_matrix):
    data, group1, group2 = real_matrix
    base = indexed(data, [2, 2, 1, 3], [0, 4, 5, 1], group1, group2)
    assert_same_results(indexed(data, [2, 2, 1, 3], [0, 4, 0, 1], group1, group2), base)
    changed = indexed(data, [2, 2, 1, 3], [0, 5, 5, 1], group1, group2)
    assert changed[1][0] != base[1][0]


# ---- exhaustive against indexed -----------------------------------------------


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("aggregate", AGGREGATES)
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_exhaustive_equals_indexed_runs_of_all_partners(real_matrix, method, aggregate, alternative):
    data, group1, group2 = real_matrix
    k = data.shape[0]
    first = [i for i in range(k) for j in range(k) if j != i]
    second = [j for i in range(k) for j in range(k) if j != i]
    scores, pvalues = exhaustive(data, group1, group2, method, aggregate, alternative, 12, 2)
    run_firsts, run_scores, run_pvalues = indexed(
        data, first, second, group1, group2, method, aggregate, alternative, 12, 3
    )
    np.testing.assert_array_equal(run_firsts, np.arange(k))
    np.testing.assert_array_equal(run_scores, scores)
    np.testing.assert_array_equal(run_pvalues, pvalues)
    z = pipelines._ztest_pipeline_exhaustive(data, group1, group2, method, "two-sided", 0, 1)[2]
    expected = [score(feature_members(z, i, k), aggregate, alternative) for i in range(k)]
    np.testing.assert_array_equal(scores, np.array(expected, np.float32))


# ---- permutation p-values -------------------------------------------------------

DEALT = [  # groups of cycles 1-3 for ten samples and groups of five
    ([3, 2, 8, 0, 1], [6, 5, 4, 9, 7]),
    ([1, 4, 7, 0, 9], [2, 6, 8, 5, 3]),
    ([9, 8, 0, 3, 5], [6, 2, 4, 7, 1]),
]


@pytest.mark.parametrize("aggregate", AGGREGATES)
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_tally_of_dealt_cycles(worked, aggregate, alternative):
    data, group1, group2 = worked
    observed, pvalues = exhaustive(data, group1, group2, "pearson", aggregate, alternative, 3)
    counts = np.zeros(3)
    for g1, g2 in DEALT:
        permuted, _ = exhaustive(data, np.array(g1, i32), np.array(g2, i32), "pearson", aggregate, alternative, 0)
        counts += {
            "two-sided": np.abs(permuted) >= np.abs(observed),
            "greater": permuted >= observed,
            "less": permuted <= observed,
        }[alternative]
    np.testing.assert_array_equal(pvalues, np.float32(counts) / np.float32(3))


@pytest.mark.parametrize("aggregate", AGGREGATES)
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_single_feature_scores_zero_with_p_one(worked, aggregate, alternative, capfd):
    data, group1, group2 = worked
    scores, pvalues = exhaustive(data[:1], group1, group2, "spearman", aggregate, alternative, 5, 4)
    np.testing.assert_array_equal(scores, [0.0])
    np.testing.assert_array_equal(pvalues, [1.0])
    capfd.readouterr()


@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_ties_count_for_every_alternative(real_matrix, alternative):
    data, group1, group2 = real_matrix
    data[[0, 3]] = 2.0  # two constant features: every pair of theirs has difference 0, every cycle
    _, scores, pvalues = indexed(data, [0, 0, 3], [3, 3, 0], group1, group2, "pearson", "median", alternative, 6)
    np.testing.assert_array_equal(scores, [0.0, 0.0])
    np.testing.assert_array_equal(pvalues, [1.0, 1.0])


def test_no_permutation_gives_zero_p(real_matrix):
    data, group1, group2 = real_matrix
    with_perms = exhaustive(data, group1, group2, "pearson", "median", "greater", 4)
    scores, pvalues = exhaustive(data, group1, group2, "pearson", "median", "greater", 0)
    np.testing.assert_array_equal(scores, with_perms[0])
    np.testing.assert_array_equal(pvalues, 0.0)
    _, _, run_p = indexed(data, [1, 2], [0, 0], group1, group2, permutations=0)
    np.testing.assert_array_equal(run_p, 0.0)


def test_unknown_alternative_scores_signed_with_zero_p(real_matrix):
    data, group1, group2 = real_matrix
    greater = exhaustive(data, group1, group2, "pearson", "median", "greater", 4)
    scores, pvalues = exhaustive(data, group1, group2, "pearson", "median", "Greater", 4)
    np.testing.assert_array_equal(scores, greater[0])
    np.testing.assert_array_equal(pvalues, 0.0)


# ---- determinism and process counts -------------------------------------------


@pytest.mark.parametrize("aggregate", AGGREGATES)
def test_process_count_and_repetition_change_nothing(count_matrix, aggregate):
    data, group1, group2 = count_matrix
    first = [0, 0, 0, 2, 2, 5, 7, 7, 8]
    second = [1, 4, 8, 3, 0, 6, 1, 2, 0]
    reference = exhaustive(data, group1, group2, "spearman", aggregate, "two-sided", 5, 1)
    reference_runs = indexed(data, first, second, group1, group2, "spearman", aggregate, "less", 5, 1)
    for processes in (1, 2, 7, 100):
        assert_same_results(
            exhaustive(data, group1, group2, "spearman", aggregate, "two-sided", 5, processes), reference
        )
        assert_same_results(
            indexed(data, first, second, group1, group2, "spearman", aggregate, "less", 5, processes),
            reference_runs,
        )


@pytest.mark.parametrize("name", ["exhaustive", "indexed"])
def test_process_number_error_without_output(real_matrix, name, capfd):
    data, group1, group2 = real_matrix
    capfd.readouterr()
    calls = {
        "exhaustive": [
            lambda: exhaustive(data[:0], group1, group2),
            lambda: exhaustive(data, group1, group2, processes=0),
        ],
        "indexed": [lambda: indexed(data, [], [], group1, group2),
                    lambda: indexed(data, [1], [2], group1, group2, processes=-1)],
    }[name]
    for run in calls:
        with pytest.raises(RuntimeError, match=r"^Process number error$"):
            run()
        assert capfd.readouterr().out == ""
