"""The permutation test as a function of the two groups of samples.

Each group is summed in one order (ascending column) in every cycle, so a
permutation that deals the same two sets gives the observed statistic bit
for bit; ties that exact arithmetic makes (tied data, mirrored splits) are
decided as ties; where the distinct splits are few, every one is computed
once and the p-value is exact. Checked against a float64 model that
enumerates every split.
"""

import itertools
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import corrshift
from corrshift import _core
from corrshift.standardise import standardise

QUIET = dict(progress=False, threads=2)


# --- the float64 model ------------------------------------------------------------------------


def _correlation(x, y, method):
    if method == "spearman":
        x, y = stats.rankdata(x), stats.rankdata(y)
    x, y = x - x.mean(), y - y.mean()
    denominator = np.sqrt((x * x).sum() * (y * y).sum())
    return np.nan if denominator == 0 else np.clip((x * y).sum() / denominator, -1, 1)


def _z(values, i, j, g1, g2, method):
    r1 = _correlation(values[i, g1], values[j, g1], method)
    r2 = _correlation(values[i, g2], values[j, g2], method)
    bound = np.nextafter(np.float32(1), np.float32(0))
    return np.arctanh(np.clip(r1, -bound, bound)) - np.arctanh(np.clip(r2, -bound, bound))


def _at_least_as_extreme(z, observed, alternative, tolerance=1e-9):
    if alternative == "two-sided":
        return abs(z) >= abs(observed) - tolerance
    if alternative == "greater":
        return z >= observed - tolerance
    return z <= observed + tolerance


def exact_pvalues(values, n1, method, alternative):
    """Per pair (condensed order): the share of all splits, the observed one included, whose
    difference is at least as extreme as the observed one (splits where it is undefined left out)."""
    samples = values.shape[1]
    observed_groups = (np.arange(n1), np.arange(n1, samples))
    # The engine's input: each feature standardised within each observed group.
    std = standardise(values, n1, method).matrix.astype(np.float64)
    splits = [(np.array(c), np.setdiff1d(np.arange(samples), c))
              for c in itertools.combinations(range(samples), n1)]
    p = []
    for i, j in itertools.combinations(range(values.shape[0]), 2):
        observed = _z(std, i, j, *observed_groups, method)
        zs = np.array([_z(std, i, j, a, b, method) for a, b in splits])
        defined = zs[~np.isnan(zs)]
        if np.isnan(observed):
            p.append(np.nan)
            continue
        p.append(sum(_at_least_as_extreme(z, observed, alternative) for z in defined) / len(defined))
    return np.array(p)


def _data(kind, features, samples, seed):
    rng = np.random.default_rng(seed)
    if kind == "continuous":
        return rng.normal(size=(features, samples))
    # Counts with many ties and zeros, as single-cell data have.
    return rng.poisson(0.9, size=(features, samples)).astype(np.float64)


@pytest.mark.parametrize("kind", ["continuous", "tied"])
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
@pytest.mark.parametrize("n1, n2", [(4, 4), (5, 5), (4, 5)])
def test_small_designs_give_the_exact_test(kind, method, alternative, n1, n2):
    """With fewer distinct splits than permutations asked for, every split is computed once:
    p_permutation equals the exact enumeration for every pair, mirrored and tied splits included."""
    values = _data(kind, 6, n1 + n2, seed=n1 * 10 + n2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
        table = corrshift.ztest(values, range(n1), range(n1, n1 + n2), method=method, alternative=alternative,
                                permutations=1000, **QUIET)
    expected = exact_pvalues(values, n1, method, alternative)
    np.testing.assert_array_equal(table["p_permutation"].to_numpy(), expected)
    assert table.attrs["exact"] is True
    assert table.attrs["permutations"] == len(list(itertools.combinations(range(n1 + n2), n1))) - 1


def test_more_splits_than_permutations_deal_at_random():
    values = _data("continuous", 4, 20, seed=1)
    table = corrshift.ztest(values, range(10), range(10, 20), permutations=99, **QUIET)
    assert table.attrs["exact"] is False and table.attrs["permutations"] == 99


# --- one order per group ----------------------------------------------------------------------


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ("two-sided", "greater", "less"))
def test_dealings_that_only_reorder_the_groups_tie_with_the_observed_cycle(method, alternative):
    """Strata equal to the groups leave nothing to exchange: every permuted statistic is the
    observed one bit for bit, so every defined pair counts every cycle as extreme."""
    data = _data("tied", 12, 40, seed=3).astype(np.float32)
    g1, g2 = np.arange(0, 40, 2, dtype=np.int32), np.arange(1, 40, 2, dtype=np.int32)
    strata = np.zeros(40, dtype=np.int32)
    strata[g2] = 1
    _, _, z, _, extreme, valid = _core.ztest_exhaustive(data, g1, g2, method, alternative, 200, 2,
                                                        strata=strata)
    defined = ~np.isnan(z)
    assert defined.sum() > 10
    np.testing.assert_array_equal(extreme[defined], 200)
    np.testing.assert_array_equal(valid[defined], 200)


def test_strata_equal_to_the_groups_give_p_one_with_a_warning():
    values = pd.DataFrame(_data("continuous", 5, 16, seed=4), columns=[f"s{i}" for i in range(16)])
    labels = pd.Series(["a"] * 8 + ["b"] * 8, index=values.columns)
    with pytest.warns(corrshift.CorrshiftWarning, match="never exchanged"):
        table = corrshift.ztest(values, groupby=labels, groups=("a", "b"), strata=labels, permutations=100,
                                **QUIET)
    np.testing.assert_array_equal(table["p_permutation"], 1.0)


@pytest.mark.parametrize("method", ("pearson", "spearman"))
def test_mirrored_splits_give_the_negated_difference(method):
    """Swapping two equal-size groups negates z_diff exactly: r1 and r2 are the same sums."""
    data = _data("continuous", 8, 20, seed=5).astype(np.float32)
    a, b = np.arange(10, dtype=np.int32), np.arange(10, 20, dtype=np.int32)
    r1, r2, z, *_ = _core.ztest_exhaustive(data, a, b, method, "two-sided", 0, 1)
    s1, s2, y, *_ = _core.ztest_exhaustive(data, b, a, method, "two-sided", 0, 1)
    np.testing.assert_array_equal(r1, s2)
    np.testing.assert_array_equal(z, -y)


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("with_strata", [False, True])
def test_results_do_not_depend_on_the_order_of_the_samples(method, with_strata):
    rng = np.random.default_rng(6)
    frame = pd.DataFrame(_data("tied", 10, 60, seed=6), index=[f"g{i}" for i in range(10)],
                         columns=[f"cell{i}" for i in range(60)])
    labels = pd.Series(np.where(np.arange(60) < 25, "A", "B"), index=frame.columns)
    batch = pd.Series(np.arange(60) % 3, index=frame.columns)
    options = dict(groupby=labels, groups=("A", "B"), method=method, permutations=199,
                   strata=batch if with_strata else None, **QUIET)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
        table = corrshift.ztest(frame, **options)
        shuffled = corrshift.ztest(frame[rng.permutation(frame.columns)], **options)
    pd.testing.assert_frame_equal(table, shuffled, check_exact=True)


# --- the design ---------------------------------------------------------------------------------


def test_too_few_splits_warns():
    """Four strata of one sample of each group: 2**4 = 16 splits, the smallest p-value 1/16."""
    values = _data("continuous", 3, 8, seed=7)
    strata = np.tile(np.arange(4), 2)
    with pytest.warns(corrshift.CorrshiftWarning, match="only 16 distinct splits within the strata"):
        table = corrshift.ztest(values, range(4), range(4, 8), strata=strata, permutations=100, **QUIET)
    assert table["p_permutation"].min() >= 1 / 16 and table.attrs["permutations"] == 15


@pytest.mark.parametrize("call, message", [
    (lambda d, g1, g2: _core.ztest_exhaustive(d, g1, g2, "pearson", "two-sided", 10, 1, exact=True),
     "permutations must be 69"),
    (lambda d, g1, g2: _core.ztest_exhaustive(d, g1[:3], g2, "pearson", "two-sided", 34, 1, exact=True),
     "every sample in one of the two groups"),
])
def test_exact_calls_are_checked(call, message):
    data = _data("continuous", 3, 8, seed=8).astype(np.float32)
    g1, g2 = np.arange(4, dtype=np.int32), np.arange(4, 8, dtype=np.int32)
    with pytest.raises(ValueError, match=message):
        call(data, g1, g2)


def test_seed_chooses_the_dealings():
    data = _data("continuous", 6, 30, seed=9).astype(np.float32)
    g1, g2 = np.arange(15, dtype=np.int32), np.arange(15, 30, dtype=np.int32)
    call = lambda **seed: _core.ztest_exhaustive(data, g1, g2, "pearson", "two-sided", 50, 1, **seed)[4]
    np.testing.assert_array_equal(call(), call(seed=733))
    assert not np.array_equal(call(), call(seed=1))
    np.testing.assert_array_equal(call(seed=1), call(seed=1))


# --- hostile input to corrshift._core -----------------------------------------------------------


P = 4
DATA = np.zeros((2, P), np.float32)
G1, G2 = np.array([0], np.int32), np.array([1], np.int32)


@pytest.mark.parametrize("label", [2**31 - 1, 2**31 - 2, P, -2])
def test_stratum_labels_are_bounded(label):
    strata = np.array([label, 0, 0, 0], np.int32)
    with pytest.raises(ValueError, match="strata\\[0\\]"):
        _core.ztest_exhaustive(DATA, G1, G2, "pearson", "two-sided", 0, 1, None, strata)


EMPTY = [
    lambda t: _core.score_exhaustive(np.zeros((0, P), np.float32), G1, G2, "pearson", "mean", "less", 3, t),
    lambda t: _core.score_indexed(DATA, np.zeros(0, np.int32), np.zeros(0, np.int32), G1, G2, "pearson",
                                  "mean", "less", 3, t),
    lambda t: _core.score_units(DATA, np.zeros(0, np.int32), np.zeros(0, np.int32), np.zeros(0, np.int32), G1,
                                G2, "pearson", "mean", "less", 3, t),
    lambda t: _core.ztest_exhaustive(np.zeros((1, P), np.float32), G1, G2, "pearson", "less", 3, t),
]


@pytest.mark.parametrize("call", EMPTY)
def test_empty_input_gives_empty_results_and_bad_thread_counts_are_refused(call):
    for result in call(2):
        assert len(result) == 0
    with pytest.raises(ValueError, match="threads must be at least 1, got 0"):
        call(0)


# --- correlations near +-1 --------------------------------------------------------------------


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_correlations_near_one_match_float64(method):
    """Pairs with |r| > 0.999 top every ranking: r within 1e-6 and z_diff within 1e-4 of float64,
    as for every other pair (r capped, as documented, at the largest float below 1)."""
    rng = np.random.default_rng(11)
    base = rng.normal(size=300)
    rows = [base]
    for scale in (1e-3, 2e-3, 5e-3, 1e-2, 3e-2, 0.3):
        rows.append(base + scale * rng.normal(size=300))
        rows.append(-base + scale * rng.normal(size=300))
    values = np.array(rows)
    table = corrshift.ztest(values, range(150), range(150, 300), method=method, permutations=0, **QUIET)
    expected = {"r1": [], "r2": [], "z_diff": []}
    for i, j in itertools.combinations(range(len(rows)), 2):
        r = [_correlation(values[i, cols], values[j, cols], method) for cols in (slice(0, 150), slice(150, 300))]
        expected["r1"].append(r[0])
        expected["r2"].append(r[1])
        bound = float(np.nextafter(np.float32(1), np.float32(0)))
        expected["z_diff"].append(np.arctanh(np.clip(r[0], -bound, bound)) - np.arctanh(np.clip(r[1], -bound, bound)))
    assert (np.abs(expected["r1"]) > 0.999).sum() >= 10
    np.testing.assert_allclose(table["r1"], expected["r1"], rtol=0, atol=1e-6)
    np.testing.assert_allclose(table["r2"], expected["r2"], rtol=0, atol=1e-6)
    np.testing.assert_allclose(table["z_diff"], expected["z_diff"], rtol=0, atol=1e-4)
