"""The two z-test functions end to end."""

import numpy as np
import pipelines
import pytest

from pipeline_calls import assert_same_results
from terminal_screen import render

ALTERNATIVES = ("two-sided", "greater", "less")
FULL_LINE = "Permutation progress: [" + "#" * 50 + "] 100%"


def exhaustive(data, group1, group2, method="pearson", alternative="two-sided", permutations=3, processes=2):
    return pipelines._ztest_pipeline_exhaustive(data, group1, group2, method, alternative, permutations, processes)


def indexed(data, pairs, group1, group2, method="pearson", alternative="two-sided", permutations=3, processes=2):
    first = np.array([p[0] for p in pairs], dtype=np.int32)
    second = np.array([p[1] for p in pairs], dtype=np.int32)
    return pipelines._ztest_pipeline_indexed(
        data, first, second, group1, group2, method, alternative, permutations, processes
    )


def close5(got, expected):
    """Agrees with values given to five significant digits."""
    np.testing.assert_allclose(got, expected, rtol=6e-5, atol=0)


def fractions(counts, permutations):
    return np.float32(counts) / np.float32(permutations)


# ---- the worked example ---------------------------------------------------

PEARSON = {
    "corr1": [-0.74533, -0.7405, 0.99509],
    "corr2": [-0.55481, -0.19023, 0.16312],
    "z_diff": [-0.33705, -0.75901, 2.4821],
}
PEARSON_P = {
    "two-sided": ([0.73608, 0.44785, 0.013062], [3, 1, 0]),
    "greater": ([0.63196, 0.77608, 0.0065312], [1, 2, 0]),
    "less": ([0.36804, 0.22392, 0.99347], [2, 1, 3]),
}
# Groups dealt in cycles 1-3 and the Fisher differences they give.
DEALT = [
    ([3, 2, 8, 0, 1], [6, 5, 4, 9, 7], [-1.6443, -1.6666, 1.475]),
    ([1, 4, 7, 0, 9], [2, 6, 8, 5, 3], [1.2408, 0.42738, -0.8758]),
    ([9, 8, 0, 3, 5], [6, 2, 4, 7, 1], [-2.2961, -0.28887, 0.84956]),
]


@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_worked_example_pearson(worked, alternative):
    corr1, corr2, z_diff, p_normal, p_perm = exhaustive(*worked, "pearson", alternative, 3, 2)
    close5(corr1, PEARSON["corr1"])
    close5(corr2, PEARSON["corr2"])
    close5(z_diff, PEARSON["z_diff"])
    p, counts = PEARSON_P[alternative]
    close5(p_normal, p)
    np.testing.assert_array_equal(p_perm, fractions(counts, 3))


def test_worked_example_spearman(worked):
    corr1, corr2, z_diff, p_normal, p_perm = exhaustive(*worked, "spearman", "two-sided", 3, 1)
    close5(corr1, [-0.8, -0.8, 1.0])
    close5(corr2, [-0.7, -0.1, 0.1])
    close5(z_diff, [-0.23131, -0.99828, 2.5463])
    close5(p_normal, [0.8502, 0.41502, 0.037612])
    np.testing.assert_array_equal(p_perm, fractions([3, 1, 0], 3))


def test_worked_example_dealt_groups(worked):
    data = worked[0]
    for group1, group2, z in DEALT:
        got = exhaustive(data, np.array(group1, np.int32), np.array(group2, np.int32), permutations=0)[2]
        close5(got, z)


@pytest.mark.parametrize("alternative", ALTERNATIVES)
@pytest.mark.parametrize("permutations", [1, 2, 3])
def test_worked_example_tally_cycle_by_cycle(worked, alternative, permutations):
    observed = np.array(PEARSON["z_diff"])
    extreme = {
        "two-sided": lambda s: np.abs(s) >= np.abs(observed),
        "greater": lambda s: s >= observed,
        "less": lambda s: s <= observed,
    }[alternative]
    counts = sum(extreme(np.array(z)).astype(int) for _, _, z in DEALT[:permutations])
    p_perm = exhaustive(*worked, "pearson", alternative, permutations, 3)[4]
    np.testing.assert_array_equal(p_perm, fractions(counts, permutations))


# ---- indexed pairs ----------------------------------------------------------


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_indexed_all_pairs_equals_exhaustive(worked, real_matrix, method, alternative):
    for data, group1, group2 in (worked, real_matrix):
        k = data.shape[0]
        pairs = [(i, j) for i in range(k) for j in range(i + 1, k)]
        assert_same_results(
            indexed(data, pairs, group1, group2, method, alternative, 5, 2),
            exhaustive(data, group1, group2, method, alternative, 5, 2),
        )


def test_indexed_pair_list_forms(real_matrix):
    data, group1, group2 = real_matrix
    pairs = [(0, 1), (4, 2), (3, 5)]
    base = indexed(data, pairs, group1, group2, "spearman", "less", 6)
    swapped = indexed(data, [(j, i) for i, j in pairs], group1, group2, "spearman", "less", 6)
    assert_same_results(swapped, base)
    repeated = indexed(data, pairs + pairs[:1], group1, group2, "spearman", "less", 6)
    assert_same_results(tuple(r[:3] for r in repeated), base)
    assert all(r[3] == r[0] for r in repeated)
    longer_second = pipelines._ztest_pipeline_indexed(
        data, np.array([0, 4, 3], np.int32), np.array([1, 2, 5, 0, 0], np.int32), group1, group2, "spearman",
        "less", 6, 2,
    )
    assert_same_results(longer_second, base)


def test_indexed_same_row_twice(real_matrix):
    data, group1, group2 = real_matrix
    data[5, group1] = 3.0  # constant over group 1
    corr1, corr2, *_ = indexed(data, [(2, 2), (5, 5)], group1, group2, permutations=0)
    np.testing.assert_allclose(corr1[0], 1.0, rtol=1e-6)
    np.testing.assert_allclose(corr2, 1.0, rtol=1e-6)
    assert corr1[1] == -2.0


def test_no_pairs_still_runs_the_cycles(real_matrix, capfd):
    data, group1, group2 = real_matrix
    capfd.readouterr()
    for run in (
        lambda: indexed(data, [], group1, group2, permutations=4),
        lambda: exhaustive(data[:1], group1, group2, permutations=4),
        lambda: exhaustive(data[:0], group1, group2, permutations=4),
    ):
        result = run()
        assert len(result) == 5 and all(r.shape == (0,) and r.dtype == np.float32 for r in result)
        assert render(capfd.readouterr().out) == [FULL_LINE, ""]


# ---- determinism --------------------------------------------------------------


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_process_count_and_repetition_change_nothing(count_matrix, method):
    data, group1, group2 = count_matrix
    pairs = [(i, j) for i in range(9) for j in range(9) if i != j][::3]
    first = exhaustive(data, group1, group2, method, "two-sided", 6, 1)
    first_indexed = indexed(data, pairs, group1, group2, method, "greater", 6, 1)
    for processes in (1, 2, 7, 100):
        assert_same_results(exhaustive(data, group1, group2, method, "two-sided", 6, processes), first)
        assert_same_results(indexed(data, pairs, group1, group2, method, "greater", 6, processes), first_indexed)


# ---- options and edge cases -------------------------------------------------


def test_no_permutation_gives_zero_permutation_p(worked):
    with_perms = exhaustive(*worked, "spearman", "greater", 3)
    without = exhaustive(*worked, "spearman", "greater", 0)
    assert_same_results(without[:4], with_perms[:4])
    np.testing.assert_array_equal(without[4], [0.0, 0.0, 0.0])


@pytest.mark.parametrize("alternative", ["Less", "less ", "two_sided", ""])
def test_unknown_alternative(worked, alternative):
    known = exhaustive(*worked, "pearson", "two-sided", 3)
    corr1, corr2, z_diff, p_normal, p_perm = exhaustive(*worked, "pearson", alternative, 3)
    assert_same_results((corr1, corr2, z_diff), known[:3])
    np.testing.assert_array_equal(p_normal, [-2.0] * 3)
    np.testing.assert_array_equal(p_perm, [0.0] * 3)


@pytest.mark.parametrize("method", ["Spearman", "kendall", ""])
def test_unknown_method_means_pearson(worked, method):
    assert_same_results(exhaustive(*worked, method, "less", 3), exhaustive(*worked, "pearson", "less", 3))


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_same_group_twice(real_matrix, method):
    data, group1, _ = real_matrix
    corr1, corr2, z_diff, p_normal, p_perm = exhaustive(data, group1, group1, method, "two-sided", 5)
    np.testing.assert_array_equal(corr1, corr2)
    np.testing.assert_array_equal(z_diff, 0.0)
    np.testing.assert_array_equal(p_normal, 1.0)
    np.testing.assert_array_equal(p_perm, 1.0)


def test_constant_feature_over_group1(real_matrix):
    data, group1, group2 = real_matrix
    data[2, group1] = 0.25
    corr1, corr2, z_diff, _, _ = exhaustive(data, group1, group2, permutations=0)
    with_2 = [k for k, (i, j) in enumerate((i, j) for i in range(6) for j in range(i + 1, 6)) if 2 in (i, j)]
    np.testing.assert_array_equal(corr1[with_2], -2.0)
    assert (corr1[[k for k in range(15) if k not in with_2]] != -2.0).all()
    clamped = np.float32(np.arctanh(np.float64(np.float32(-0.99))))
    other = np.clip(corr2[with_2].astype(np.float64), -0.99, 0.99)
    expected = clamped - np.arctanh(other).astype(np.float32)
    np.testing.assert_allclose(z_diff[with_2], expected, rtol=1e-6)


@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_ties_count_and_nan_never_counts(real_matrix, alternative):
    data, group1, group2 = real_matrix
    data[0] = 1.5  # constant everywhere: its pairs have difference 0 in every cycle
    data[5, group1[3]] = np.nan  # observed differences of feature 5 are NaN
    pairs = [(i, j) for i in range(6) for j in range(i + 1, 6)]
    tied = [k for k, p in enumerate(pairs) if 0 in p and 5 not in p]
    nan = [k for k, p in enumerate(pairs) if 5 in p and 0 not in p]
    _, _, z_diff, p_normal, p_perm = exhaustive(data, group1, group2, "pearson", alternative, 8)
    np.testing.assert_array_equal(z_diff[tied], 0.0)
    np.testing.assert_array_equal(p_perm[tied], 1.0)
    assert np.isnan(z_diff[nan]).all() and np.isnan(p_normal[nan]).all()
    np.testing.assert_array_equal(p_perm[nan], 0.0)


def test_spearman_shared_sample_carries_group2_rank():
    rng = np.random.default_rng(12)
    data = rng.permutation(40).reshape(4, 10).astype(np.float32)  # no ties
    group1 = np.array([0, 1, 2, 3, 4, 5], np.int32)
    group2 = np.array([4, 5, 6, 7, 8, 9], np.int32)
    ranks = np.zeros_like(data)
    for group in (group1, group2):  # group 2 written last
        ranks[:, group] = np.argsort(np.argsort(data[:, group], axis=1), axis=1)
    got = exhaustive(data, group1, group2, "spearman", "two-sided", 0)
    from_ranks = exhaustive(ranks, group1, group2, "pearson", "two-sided", 0)
    assert_same_results(got[:3], from_ranks[:3])
