"""The permutation test as a function of the two groups of samples.

Each group is summed in one order (ascending column) in every cycle, so a
permutation that deals the same two sets gives the observed statistic bit
for bit; ties that exact arithmetic makes (tied data, mirrored splits) are
decided as ties; where the distinct splits are few, every one is computed
once and the p-value is exact. Checked against a float64 model that
enumerates every split.
"""

import functools
import itertools
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import corrshift
from corrshift import _core
from corrshift import _native_tests as native
from corrshift.standardise import standardise
from test_fast_kernels import same_results

QUIET = dict(progress=False, threads=2)


# --- the float64 model ------------------------------------------------------------------------


def _correlations(rows, method):
    """The correlation of every pair of rows (condensed order); NaN with a constant row."""
    if method == "spearman":
        rows = stats.rankdata(rows, axis=1)
    rows = rows - rows.mean(axis=1, keepdims=True)
    i, j = np.triu_indices(len(rows), 1)
    denominator = np.sqrt((rows * rows).sum(axis=1)[i] * (rows * rows).sum(axis=1)[j])
    with np.errstate(invalid="ignore", divide="ignore"):
        r = (rows[i] * rows[j]).sum(axis=1) / denominator
    return np.where(denominator == 0, np.nan, np.clip(r, -1, 1))


def _fisher(r):
    """The Fisher transform, r capped at the largest float32 below 1 as the engine caps it."""
    bound = float(np.nextafter(np.float32(1), np.float32(0)))
    return np.arctanh(np.clip(r, -bound, bound))


def _at_least_as_extreme(z, observed, alternative, tolerance=1e-9):
    if alternative == "two-sided":
        return abs(z) >= abs(observed) - tolerance
    if alternative == "greater":
        return z >= observed - tolerance
    return z <= observed + tolerance


def split_differences(values, n1, method):
    """The differences of every pair (condensed order) in every split of the samples into groups of
    n1 and the rest (rows; the observed split, the first n1 samples, first), and the features whose
    correlations the observed split leaves undefined (constant within a group)."""
    samples = values.shape[1]
    # The engine's input: each feature standardised within each observed group.
    standardised = standardise(values, n1, method)
    std = standardised.matrix.astype(np.float64)
    splits = [(np.array(c), np.setdiff1d(np.arange(samples), c))
              for c in itertools.combinations(range(samples), n1)]
    z = np.array([_fisher(_correlations(std[:, a], method)) - _fisher(_correlations(std[:, b], method))
                  for a, b in splits])
    return z, standardised.constant[0] | standardised.constant[1]


def exact_pvalues(statistics, alternative):
    """Per column of ``statistics`` (one row per split, the observed one first): the share of all
    splits whose statistic is at least as extreme as the observed one (splits where it is undefined
    left out); NaN where the observed one is undefined."""
    p = []
    for observed, column in zip(statistics[0], statistics.T):
        defined = column[~np.isnan(column)]
        if np.isnan(observed):
            p.append(np.nan)
            continue
        p.append(sum(_at_least_as_extreme(s, observed, alternative) for s in defined) / len(defined))
    return np.array(p)


def _unit_scores(z, units, aggregate, alternative):
    """Per split (rows of z), the score of each unit (a list of condensed pair positions) over its
    defined differences: the mean of magnitudes, or the element len // 2 of the ascending values
    (magnitudes under "two-sided"); NaN without any."""
    scores = np.full((len(z), len(units)), np.nan)
    for u, members in enumerate(units):
        for row, values in enumerate(z[:, members]):
            values = values[~np.isnan(values)]
            if aggregate == "mean" and len(values):
                scores[row, u] = np.abs(values).mean()
            elif len(values):
                scores[row, u] = np.sort(np.abs(values) if alternative == "two-sided" else values)[len(values) // 2]
    return scores


def _units(pair_lists, excluded):
    """Condensed positions of each unit's pairs (i, j), i < j; pairs with an excluded feature take
    part in no unit."""
    position = {pair: k for k, pair in enumerate(itertools.combinations(range(len(excluded)), 2))}
    return [[position[pair] for pair in pairs if not excluded[list(pair)].any()] for pairs in pair_lists]


def _data(kind, features, samples, seed):
    rng = np.random.default_rng(seed)
    if kind == "continuous":
        return rng.normal(size=(features, samples))
    # Counts with many ties and zeros, as single-cell data have.
    return rng.poisson(0.9, size=(features, samples)).astype(np.float64)


@functools.cache
def _enumerated(kind, features, n1, n2, seed, method):
    values = _data(kind, features, n1 + n2, seed)
    return values, *split_differences(values, n1, method)


@pytest.mark.parametrize("kind", ["continuous", "tied"])
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
@pytest.mark.parametrize("n1, n2", [(4, 4), (5, 5), (4, 5)])
def test_small_designs_give_the_exact_test(kind, method, alternative, n1, n2):
    """With fewer distinct splits than permutations asked for, every split is computed once:
    p_permutation equals the exact enumeration for every pair, mirrored and tied splits included."""
    values, z, _ = _enumerated(kind, 6, n1, n2, n1 * 10 + n2, method)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
        table = corrshift.ztest(values, range(n1), range(n1, n1 + n2), method=method, alternative=alternative,
                                permutations=1000, **QUIET)
    expected = exact_pvalues(z, alternative)
    np.testing.assert_array_equal(table["p_permutation"].to_numpy(), expected)
    assert table.attrs["exact"] is True
    assert table.attrs["permutations"] == len(list(itertools.combinations(range(n1 + n2), n1))) - 1


# Sets of one pair score that pair's difference alone; the others mix pairs.
SETS = {"01": [0, 1], "25": [2, 5], "47": [4, 7], "low": [0, 1, 2, 3], "high": [4, 5, 6, 7], "all": range(8)}
UNIT_PAIRS = {"features": [[tuple(sorted((i, j))) for j in range(8) if j != i] for i in range(8)],
              "sets": [list(itertools.combinations(members, 2)) for members in SETS.values()]}


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("aggregate", ["mean", "median"])
@pytest.mark.parametrize("alternative", ["two-sided", "greater", "less"])
@pytest.mark.parametrize("seed", [1, 4, 9, 13])
def test_small_designs_give_exact_scores(method, aggregate, alternative, seed):
    """Scores of features and of sets over tied counts: p_permutation of the exact test equals the
    float64 enumeration, tied medians and means included (features constant within a group take
    part in no score)."""
    values, z, excluded = _enumerated("tied", 8, 4, 4, seed, method)
    options = dict(method=method, aggregate=aggregate, alternative=alternative, permutations=1000, **QUIET)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
        features = corrshift.score(values, range(4), range(4, 8), **options)
        sets = corrshift.score(values, range(4), range(4, 8), sets=SETS, **options)
    for table, pairs in ((features, UNIT_PAIRS["features"]), (sets, UNIT_PAIRS["sets"])):
        units = _units(pairs, excluded)
        expected = exact_pvalues(_unit_scores(z, units, aggregate, alternative), alternative)
        np.testing.assert_array_equal(table["p_permutation"].to_numpy(), expected)
        assert table.attrs["exact"] is True


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("seed", [1, 4, 9, 13])
def test_both_engines_decide_tied_scores_alike(method, seed):
    """The straightforward kernels compare with the same moved scores as the fast ones: on the
    tied designs above, every split once, both count alike."""
    values, _, _ = _enumerated("tied", 8, 4, 4, seed, method)
    data = standardise(values, 4, method).matrix
    g1, g2 = np.arange(4, dtype=np.int32), np.arange(4, 8, dtype=np.int32)
    first, second = (np.array(side, np.int32) for side in zip(*itertools.chain(*UNIT_PAIRS["sets"])))
    starts = np.cumsum([0] + [len(pairs) for pairs in UNIT_PAIRS["sets"][:-1]], dtype=np.int32)
    for aggregate, alternative in itertools.product(("mean", "median"), ("two-sided", "greater", "less")):
        options = (method, aggregate, alternative, 69, 2, None, None, native.sound_extras(exact=True))
        for call, units in ((native.corrshift_score_exhaustive, ()),
                            (native.corrshift_score_units, (first, second, starts))):
            same_results(*(call(data, *units, g1, g2, *options, reference) for reference in (False, True)))


def test_more_splits_than_permutations_deal_at_random():
    values = _data("continuous", 4, 20, seed=1)
    table = corrshift.ztest(values, range(10), range(10, 20), permutations=99, **QUIET)
    assert table.attrs["exact"] is False and table.attrs["permutations"] == 99


# --- one order per group ----------------------------------------------------------------------


# Units of listed pairs for corrshift._core.score_units: pairs inside features 0-5, 3-9 and 8-11.
UNIT_FIRST, UNIT_SECOND = (np.array(side, np.int32) for side in zip(
    *(pair for members in (range(6), range(3, 10), range(8, 12)) for pair in itertools.combinations(members, 2))))
UNIT_STARTS = np.array([0, 15, 36], np.int32)

def _native_ztest(data, g1, g2, method, alternative, **options):
    _, _, z, _, extreme, valid = _core.ztest_exhaustive(data, g1, g2, method, alternative, **options)
    return z, extreme, valid


def _native_score(aggregate, units):
    """Scores of every feature, or of the units UNIT_*, as (score, extreme, valid)."""
    def call(data, g1, g2, method, alternative, **options):
        if units:
            return _core.score_units(data, UNIT_FIRST, UNIT_SECOND, UNIT_STARTS, g1, g2, method, aggregate,
                                     alternative, **options)
        return _core.score_exhaustive(data, g1, g2, method, aggregate, alternative, **options)
    return call


# Native calls, each giving (statistic, extreme, valid) of its rows.
NATIVE = {"ztest": _native_ztest, "score mean": _native_score("mean", False),
          "score median": _native_score("median", False), "sets mean": _native_score("mean", True),
          "sets median": _native_score("median", True)}


@pytest.mark.parametrize("call", NATIVE.values(), ids=NATIVE.keys())
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("alternative", ("two-sided", "greater", "less"))
def test_dealings_that_only_reorder_the_groups_tie_with_the_observed_cycle(call, method, alternative):
    """Strata equal to the groups leave nothing to exchange: every permuted statistic is the
    observed one bit for bit, so every defined row counts every cycle as extreme."""
    data = _data("tied", 12, 40, seed=3).astype(np.float32)
    g1, g2 = np.arange(0, 40, 2, dtype=np.int32), np.arange(1, 40, 2, dtype=np.int32)
    strata = np.zeros(40, dtype=np.int32)
    strata[g2] = 1
    statistic, extreme, valid = call(data, g1, g2, method, alternative, permutations=200, threads=2,
                                     strata=strata)
    defined = ~np.isnan(statistic)
    assert defined.sum() >= min(len(defined), 10)
    np.testing.assert_array_equal(extreme[defined], 200)
    np.testing.assert_array_equal(valid[defined], 200)


@pytest.mark.parametrize("test", [
    corrshift.ztest,
    functools.partial(corrshift.score, aggregate="mean"),
    functools.partial(corrshift.score, aggregate="median", alternative="greater"),
    functools.partial(corrshift.score, aggregate="median", sets={"low": ["g0", "g1", "g2"], "all": ["g0", "g3", "g4"]}),
], ids=["ztest", "score mean", "score median", "sets"])
def test_strata_equal_to_the_groups_give_p_one_with_a_warning(test):
    values = pd.DataFrame(_data("continuous", 5, 16, seed=4), columns=[f"s{i}" for i in range(16)],
                          index=[f"g{i}" for i in range(5)])
    labels = pd.Series(["a"] * 8 + ["b"] * 8, index=values.columns)
    with pytest.warns(corrshift.CorrshiftWarning, match="never exchanged"):
        table = test(values, groupby=labels, groups=("a", "b"), strata=labels, permutations=100, **QUIET)
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


@pytest.mark.parametrize("test", [
    corrshift.ztest,
    functools.partial(corrshift.score, aggregate="mean"),
    functools.partial(corrshift.score, aggregate="median", alternative="less"),
    functools.partial(corrshift.score, aggregate="median", sets={"low": ["g0", "g1", "g2", "g3"],
                                                                 "high": ["g4", "g5", "g6", "g7", "g8", "g9"]}),
], ids=["ztest", "score mean", "score median", "sets"])
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("with_strata", [False, True])
def test_results_do_not_depend_on_the_order_of_the_samples(test, method, with_strata):
    rng = np.random.default_rng(6)
    frame = pd.DataFrame(_data("tied", 10, 60, seed=6), index=[f"g{i}" for i in range(10)],
                         columns=[f"cell{i}" for i in range(60)])
    labels = pd.Series(np.where(np.arange(60) < 25, "A", "B"), index=frame.columns)
    batch = pd.Series(np.arange(60) % 3, index=frame.columns)
    options = dict(groupby=labels, groups=("A", "B"), method=method, permutations=199,
                   strata=batch if with_strata else None, **QUIET)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
        table = test(frame, **options)
        shuffled = test(frame[rng.permutation(frame.columns)], **options)
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
    r1, r2 = _correlations(values[:, :150], method), _correlations(values[:, 150:], method)
    expected = {"r1": r1, "r2": r2, "z_diff": _fisher(r1) - _fisher(r2)}
    assert (np.abs(expected["r1"]) > 0.999).sum() >= 10
    np.testing.assert_allclose(table["r1"], expected["r1"], rtol=0, atol=1e-6)
    np.testing.assert_allclose(table["r2"], expected["r2"], rtol=0, atol=1e-6)
    np.testing.assert_allclose(table["z_diff"], expected["z_diff"], rtol=0, atol=1e-4)
