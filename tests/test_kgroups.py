"""The test across k groups: Cochran's Q of the groups' Fisher transforms, its permutation counts over
numbered dealings of all groups, pairwise contrasts, and the two-group case against the z-test."""

import itertools
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import corrshift
from corrshift import _core, kgroups, memory
from pipeline_model import shuffle

QUIET = dict(progress=False, threads=2)
# Small permutation counts are the point of these tests, not a mistake.
pytestmark = pytest.mark.filterwarnings("ignore:.*permutations are too few")
MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15


# --- a model of the numbered dealings ----------------------------------------------------------


def _mix64(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


class CycleStream:
    """The draws of one numbered cycle: SplitMix64 from a hash of the seed and the cycle number."""

    def __init__(self, seed, cycle):
        self.state = _mix64(_mix64((seed + GOLDEN) & MASK) ^ _mix64((cycle * GOLDEN + 1) & MASK))

    def next(self):
        self.state = (self.state + GOLDEN) & MASK
        return _mix64(self.state) >> 32


def deal(seed, cycle, sizes, strata=None):
    """Cycle ``cycle``'s groups of ``sizes`` columns: a fresh ascending copy of the columns (of each
    stratum's, stratum by stratum, with each stratum's count of each group) shuffled and cut in turn."""
    stream = CycleStream(seed, cycle)
    p = int(sum(sizes)) if strata is None else len(strata)
    if strata is None:
        parts = [(list(range(p)), list(sizes))]
    else:
        labels = np.repeat(np.arange(len(sizes)), sizes)
        parts = [(list(np.flatnonzero(strata == s)), [int(np.sum((strata == s) & (labels == g)))
                                                      for g in range(len(sizes))])
                 for s in range(strata.max() + 1)]
    groups = [[] for _ in sizes]
    for order, counts in parts:
        shuffle(stream, order)
        at = 0
        for g, count in enumerate(counts):
            groups[g] += order[at:at + count]
            at += count
    return [sorted(g) for g in groups]


def correlations(x, columns, spearman=False):
    """Each pair's correlation (condensed order) over ``columns``, in float64."""
    block = x[:, columns].astype(np.float64)
    if spearman:
        block = stats.rankdata(block, axis=1)
    c = np.corrcoef(block)
    return c[np.triu_indices(len(x), 1)]


def fisher(rs):
    """atanh of correlations capped at the largest float below 1, as the engine caps them."""
    return np.arctanh(np.clip(rs, -1 + 2 ** -24, 1 - 2 ** -24))


def homogeneity(rs, sizes, spearman=False):
    """Q of correlations rs (k x pairs) over groups of ``sizes``, in float64."""
    w = (np.asarray(sizes, dtype=np.float64) - 3) / (1.5 if spearman else 1.0)
    z = fisher(rs)
    zbar = (w[:, None] * z).sum(0) / w.sum()
    return (w[:, None] * (z - zbar) ** 2).sum(0)


def labelled(sizes):
    return np.repeat([f"g{i}" for i in range(len(sizes))], sizes), [f"g{i}" for i in range(len(sizes))]


# --- the statistic against a float64 model -------------------------------------------------------


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("sizes", [(9, 12, 15), (10, 10, 10, 10), (6, 20, 8, 11, 7)])
def test_correlations_q_and_normal_p_follow_the_model(method, sizes):
    rng = np.random.default_rng(sum(sizes))
    x = rng.normal(size=(7, sum(sizes)))
    x[:3, : sizes[0]] += 1.5 * x[3, : sizes[0]]  # a correlation in the first group only
    labels, groups = labelled(sizes)
    res = corrshift.ztest(x, groupby=labels, groups=groups, method=method, permutations=0, **QUIET)
    bounds = np.concatenate([[0], np.cumsum(sizes)])
    spearman = method == "spearman"
    rs = np.array([correlations(x, np.arange(lo, hi), spearman) for lo, hi in zip(bounds[:-1], bounds[1:])])
    for g, r in zip(groups, rs):
        np.testing.assert_allclose(res[f"r_{g}"], r, atol=2e-6)
    q = homogeneity(rs, sizes, spearman)
    np.testing.assert_allclose(res["chi2"], q, rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(res["p_normal"], stats.chi2.sf(q, len(sizes) - 1), atol=1e-4)
    assert res["p_permutation"].isna().all()
    assert res.attrs["groups"] == groups and res.attrs["sizes"] == list(sizes)


def test_q_does_not_depend_on_the_order_the_groups_are_given_in():
    # Groups taken in an order of their own: the same Q bit for bit, so relabelled dealings tie exactly.
    sizes = (8, 8, 11, 8)
    x = np.random.default_rng(3).normal(size=(25, sum(sizes)))
    labels, groups = labelled(sizes)
    first = corrshift.ztest(x, groupby=labels, groups=groups, permutations=0, **QUIET)
    for order in ([2, 0, 3, 1], [3, 2, 1, 0]):
        again = corrshift.ztest(x, groupby=labels, groups=[groups[i] for i in order], permutations=0, **QUIET)
        np.testing.assert_array_equal(again["chi2"].to_numpy(), first["chi2"].to_numpy())


def test_classes_give_each_groups_side_in_group_order():
    sizes = (30, 30, 30)
    rng = np.random.default_rng(8)
    x = rng.normal(size=(2, 90))
    x[1, :30] = x[0, :30] + 0.2 * rng.normal(size=30)  # strongly positive in g0
    x[1, 60:] = -x[0, 60:] + 0.2 * rng.normal(size=30)  # strongly negative in g2
    x[0, 30:31] = np.nan  # undefined in g1
    labels, groups = labelled(sizes)
    with pytest.warns(corrshift.CorrshiftWarning, match="missing"):
        res = corrshift.ztest(x, groupby=labels, groups=groups, permutations=0, **QUIET)
    assert list(res["class"].astype(str)) == ["+/NA/-"]
    assert np.isnan(res["chi2"]).all() and np.isnan(res["p_normal"]).all()


# --- permutation counts against the model of the dealings ----------------------------------------


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("with_strata", [False, True])
# Groups large next to the sample count: Spearman ranks from each row's order, found once and shared.
@pytest.mark.parametrize("sizes", [[5, 6, 7], [60, 60, 6]])
def test_permutation_counts_follow_a_model_of_the_dealings(method, with_strata, sizes):
    rng = np.random.default_rng(11)
    x = rng.normal(size=(5, sum(sizes))).astype(np.float32)
    x[:, 6:12] = np.round(x[:, 6:12])  # ties
    strata = rng.integers(0, 3, size=sum(sizes)).astype(np.int32) if with_strata else None
    columns = np.arange(sum(sizes), dtype=np.int32)
    m, seed = 60, 41
    got = _core.ztest_groups(x, columns, np.array(sizes, dtype=np.int32), method, m, 2, strata=strata,
                             seed=seed, contrasts=True)
    spearman = method == "spearman"
    bounds = np.concatenate([[0], np.cumsum(sizes)])

    def statistics(groups):
        rs = np.array([correlations(x, g, spearman) for g in groups])
        z = fisher(rs)
        return homogeneity(rs, sizes, spearman), [z[i] - z[j] for i, j in itertools.combinations(range(3), 2)]

    q0, d0 = statistics([np.arange(lo, hi) for lo, hi in zip(bounds[:-1], bounds[1:])])
    extreme, contrast = np.zeros(len(q0), int), np.zeros((3, len(q0)), int)
    for c in range(1, m + 1):
        q, d = statistics(deal(seed, c, sizes, strata))
        extreme += q >= q0
        contrast += np.abs(d) >= np.abs(d0)
    np.testing.assert_array_equal(got["extreme"], extreme)
    np.testing.assert_array_equal(got["valid"], m)
    np.testing.assert_array_equal(got["contrast_extreme"], contrast)
    np.testing.assert_allclose(got["contrast_z"], np.array(d0), atol=1e-5)
    np.testing.assert_allclose(got["chi2"], q0, rtol=1e-4)


def test_consecutive_calls_count_what_one_call_counts():
    sizes = np.array([6, 7, 8, 6], dtype=np.int32)
    x = np.random.default_rng(2).normal(size=(9, sizes.sum())).astype(np.float32)
    columns = np.random.default_rng(4).permutation(sizes.sum()).astype(np.int32)
    whole = _core.ztest_groups(x, columns, sizes, "pearson", 50, 2, seed=9, contrasts=True)
    parts = [_core.ztest_groups(x, columns, sizes, "pearson", n, 1, seed=9, first_cycle=start, contrasts=True)
             for start, n in ((0, 20), (20, 30))]
    for name in ("extreme", "valid", "contrast_extreme", "contrast_valid"):
        np.testing.assert_array_equal(parts[0][name] + parts[1][name], whole[name])


def test_a_dealing_that_relabels_equal_groups_counts_as_a_tie():
    # Strata of three samples, one of each group: a cycle that deals every stratum by one same exchange of
    # groups 0 and 2 holds the observed groups relabelled, so its Q equals the observed one and counts
    # (summed in the groups' order, Q would round otherwise here).
    sizes, seed = [4, 4, 4], 5
    strata = np.tile(np.arange(4, dtype=np.int32), 3)
    observed = [list(range(g * 4, g * 4 + 4)) for g in range(3)]
    swapped = [observed[2], observed[1], observed[0]]
    cycle = next(c for c in range(1, 20000) if deal(seed, c, sizes, strata) == swapped)
    x = np.random.default_rng(6).normal(size=(40, 12)).astype(np.float32)
    for method, aggregate in (("pearson", "mean"), ("spearman", "median")):
        got = _core.ztest_groups(x, np.arange(12, dtype=np.int32), np.array(sizes, dtype=np.int32), method, 1, 1,
                                 strata=strata, seed=seed, first_cycle=cycle - 1, contrasts=True,
                                 aggregate=aggregate)
        np.testing.assert_array_equal(got["extreme"], 1)
        np.testing.assert_array_equal(got["score_extreme"], 1)
        # The contrast of the two swapped groups flips sign: the same magnitude, at least as extreme.
        np.testing.assert_array_equal(got["contrast_extreme"][1], 1)


# --- two groups through the test across groups: the two-sided z-test ----------------------------


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("with_strata", [False, True])
def test_two_groups_deal_and_decide_as_the_z_test(method, with_strata):
    rng = np.random.default_rng(21)
    x = rng.normal(size=(30, 50))
    x[:6, :22] += 0.9 * x[6, :22]
    labels = np.array(["a"] * 22 + ["b"] * 28)
    rng.shuffle(labels)
    strata = rng.choice(["s1", "s2", "s3"], size=50) if with_strata else None
    options = dict(groupby=labels, method=method, permutations=199, strata=strata, seed=17, **QUIET)
    two = corrshift.ztest(x, groups=("a", "b"), **options)
    across = kgroups.ztest_groups(x, labels, ["a", "b"], **{k: v for k, v in options.items() if k != "groupby"})
    np.testing.assert_array_equal(across["r_a"], two["r1"])
    np.testing.assert_array_equal(across["r_b"], two["r2"])
    np.testing.assert_array_equal(across["p_permutation"], two["p_permutation"])
    np.testing.assert_array_equal(across["q_permutation"] <= 0.05, two["q_permutation"] <= 0.05)
    np.testing.assert_allclose(across["p_normal"], two["p_normal"], atol=2e-6)
    se2 = (1 / 19 + 1 / 25) * (1.5 if method == "spearman" else 1.0)
    np.testing.assert_allclose(across["chi2"], two["z_diff"].astype(np.float64) ** 2 / se2, rtol=1e-5)


@pytest.mark.parametrize("strata", [None, "three"])
@pytest.mark.parametrize("first_cycle", [0, 1000])
def test_two_group_counts_of_the_engine_are_the_z_tests(strata, first_cycle):
    rng = np.random.default_rng(5)
    x = rng.normal(size=(20, 40)).astype(np.float32)
    columns = rng.permutation(40).astype(np.int32)
    group1, group2 = columns[:17], columns[17:]
    s = None if strata is None else rng.integers(0, 3, size=40).astype(np.int32)
    words = dict(strata=s, seed=3, first_cycle=first_cycle)
    z = _core.ztest_exhaustive(x, group1, group2, "pearson", "two-sided", 150, 2, **words)
    got = _core.ztest_groups(x, columns, np.array([17, 23], dtype=np.int32), "pearson", 150, 2, **words)
    np.testing.assert_array_equal(got["extreme"], z[4])
    np.testing.assert_array_equal(got["valid"], z[5])


# --- calibration ---------------------------------------------------------------------------------


def test_p_permutation_is_uniform_without_a_change():
    p = []
    for seed in range(4):
        rng = np.random.default_rng(100 + seed)
        x = rng.normal(size=(30, 60))
        labels = np.repeat(["w", "x", "y", "z"], 15)
        res = corrshift.ztest(x, groupby=labels, groups=["w", "x", "y", "z"], permutations=199, seed=seed,
                              **QUIET)
        p.append(res["p_permutation"].to_numpy())
    share = np.mean(np.concatenate(p) <= 0.05)
    assert 0.04 <= share <= 0.06


# --- pairs, contrasts and options ------------------------------------------------------------------


def test_given_pairs_are_the_rows_of_all_pairs():
    sizes = (7, 9, 8)
    x = pd.DataFrame(np.random.default_rng(1).normal(size=(6, 24)), index=list("uvwxyz"))
    labels, groups = labelled(sizes)
    every = corrshift.ztest(x, groupby=labels, groups=groups, permutations=99, contrasts="pairwise", **QUIET)
    pairs = [("w", "z"), ("u", "v"), ("x", "y")]
    some = corrshift.ztest(x, groupby=labels, groups=groups, pairs=pairs, permutations=99, contrasts="pairwise",
                           **QUIET)
    keyed = every.set_index(["feature_a", "feature_b"])
    for row, (a, b) in zip(some.itertuples(index=False), pairs):
        want = keyed.loc[(a, b)]
        for column in ("r_g0", "r_g2", "chi2", "p_permutation", "z_g0_g2", "p_g1_g2"):
            assert getattr(row, column) == want[column]


def test_contrasts_are_fisher_differences_with_the_z_tests_normal_scale():
    sizes = (12, 14, 13)
    x = np.random.default_rng(12).normal(size=(5, 39))
    labels, groups = labelled(sizes)
    res = corrshift.ztest(x, groupby=labels, groups=groups, permutations=99, contrasts="pairwise", **QUIET)
    for a, b in itertools.combinations(groups, 2):
        z = np.arctanh(res[f"r_{a}"].astype(np.float64)) - np.arctanh(res[f"r_{b}"].astype(np.float64))
        np.testing.assert_allclose(res[f"z_{a}_{b}"], z, atol=1e-5)
        assert ((res[f"p_{a}_{b}"] > 0) & (res[f"p_{a}_{b}"] <= 1)).all()
    assert list(res.columns[-6:]) == ["z_g0_g1", "p_g0_g1", "z_g0_g2", "p_g0_g2", "z_g1_g2", "p_g1_g2"]


LABELS = np.repeat(["A", "B", "C", "D"], [6, 6, 6, 2])
DATA = np.random.default_rng(0).normal(size=(4, 20))


@pytest.mark.parametrize("options, message", [
    (dict(groups=["A", "B", "D"]), "group 'D' has 2 samples"),
    (dict(groups=["A", "B", "E"]), "no sample is labelled 'E'"),
    (dict(groups=["A", "B", "A"]), "the same label twice"),
    (dict(groups=["A"]), "groups must be two labels"),
    (dict(groups=["A", "B", "C"], alternative="greater"), "two-sided"),
    (dict(groups=["A", "B", "C"], permutations="auto", contrasts="pairwise"), "do not go together"),
    (dict(groups=["A", "B", "C"], top=5, contrasts="pairwise"), "take a number of permutations and no contrasts"),
    (dict(groups=["A", "B", "C"], between=(["f0"], ["f1"])), "between= and other= test two groups"),
    (dict(groups=["A", "B", "C"], contrasts="all"), "contrasts must be None or \"pairwise\""),
    (dict(groups=["A", "B"], contrasts="pairwise"), "three groups or more"),
])
def test_unusable_groups_and_options_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        corrshift.ztest(DATA, groupby=LABELS, **{"permutations": 9, **options}, **QUIET)


def test_contrasts_whose_columns_would_share_a_name_are_refused():
    labels = np.repeat(["a", "a_b", "b_c", "c"], 5)
    with pytest.raises(ValueError, match="give two contrasts the column name z_a_b_c"):
        corrshift.ztest(DATA, groupby=labels, groups=["a", "a_b", "b_c", "c"], contrasts="pairwise", **QUIET)


def test_a_group_of_three_samples_is_refused():
    labels = np.repeat(["A", "B", "C"], [6, 6, 3])
    with pytest.raises(ValueError, match="group 'C' has 3 samples.*at least 4"):
        corrshift.ztest(DATA[:, :15], groupby=labels, groups=["A", "B", "C"], **QUIET)


SIZES = np.array([5, 5, 5], dtype=np.int32)
COLUMNS = np.arange(15, dtype=np.int32)


@pytest.mark.parametrize("change, message", [
    (dict(sizes=np.array([15], dtype=np.int32)), "at least two groups"),
    (dict(sizes=np.array([5, 7, 3], dtype=np.int32)), "group 2 has 3 samples"),
    (dict(sizes=np.array([5, 5, 4], dtype=np.int32)), "sizes add up to 14 but columns holds 15"),
    (dict(columns=np.r_[np.arange(14), 3].astype(np.int32)), r"columns\[14\] = 3 is listed twice"),
    (dict(columns=np.r_[np.arange(14), 15].astype(np.int32)), "out of range"),
    (dict(pair_first=np.array([0], dtype=np.int32)), "give both or neither"),
    (dict(method="kendall"), "method must be"),
])
def test_the_engine_checks_its_arguments(change, message):
    call = dict(data=np.zeros((3, 15), dtype=np.float32), columns=COLUMNS, sizes=SIZES, method="pearson",
                permutations=5, threads=1)
    with pytest.raises((ValueError, IndexError), match=message):
        _core.ztest_groups(**{**call, **change})


def test_the_table_goes_to_a_file_best_first(tmp_path):
    labels, groups = labelled((8, 8, 8))
    x = np.random.default_rng(4).normal(size=(5, 24))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
        table = corrshift.ztest(x, groupby=labels, groups=groups, permutations=49, **QUIET)
        assert corrshift.ztest(x, groupby=labels, groups=groups, permutations=49, out=tmp_path / "t.csv",
                               **QUIET) is None
    written = pd.read_csv(tmp_path / "t.csv")
    assert list(written.columns) == list(table.columns)
    assert written["p_permutation"].is_monotonic_increasing


def test_min_cells_leaves_out_features_too_rare_in_any_group():
    rng = np.random.default_rng(9)
    x = pd.DataFrame(rng.poisson(3.0, size=(5, 30)).astype(float) + 1, index=list("abcde"))
    labels, groups = labelled((10, 10, 10))
    x.iloc[2, 20:27] = 0.0  # "c" observed in 3 of group g2's 10 samples
    with pytest.warns(corrshift.CorrshiftWarning, match="leaves out 1 feature"):
        res = corrshift.ztest(x, groupby=labels, groups=groups, permutations=9, min_cells=4, **QUIET)
    assert res.attrs["filtered"] == ["c"] and "c" not in set(res["feature_a"]) | set(res["feature_b"])
    assert len(res) == 6


# --- feature scores across groups ------------------------------------------------------------------


def feature_scores(q, features, aggregate):
    """Each feature's mean or median (upper middle) of the defined values q over its pairs."""
    i, j = np.triu_indices(features, 1)
    scores = []
    for f in range(features):
        values = np.sort(q[(i == f) | (j == f)])
        values = values[~np.isnan(values)]
        if not len(values):
            scores.append(np.nan)
        else:
            scores.append(values.mean() if aggregate == "mean" else values[len(values) // 2])
    return np.array(scores)


@pytest.mark.parametrize("aggregate", ["mean", "median"])
@pytest.mark.parametrize("with_strata", [False, True])
def test_feature_scores_follow_a_model_of_the_dealings(aggregate, with_strata):
    sizes = [6, 7, 6, 8]
    rng = np.random.default_rng(31)
    x = rng.normal(size=(7, sum(sizes))).astype(np.float32)
    x[1, :6] += 2 * x[0, :6]
    strata = rng.integers(0, 2, size=sum(sizes)).astype(np.int32) if with_strata else None
    m, seed = 40, 8
    got = _core.ztest_groups(x, np.arange(sum(sizes), dtype=np.int32), np.array(sizes, dtype=np.int32),
                             "pearson", m, 2, strata=strata, seed=seed, aggregate=aggregate)
    bounds = np.concatenate([[0], np.cumsum(sizes)])

    def scores(groups):
        return feature_scores(homogeneity(np.array([correlations(x, g) for g in groups]), sizes), 7, aggregate)

    observed = scores([np.arange(lo, hi) for lo, hi in zip(bounds[:-1], bounds[1:])])
    extreme = sum(scores(deal(seed, c, sizes, strata)) >= observed for c in range(1, m + 1))
    np.testing.assert_allclose(got["score"], observed, rtol=1e-5)
    np.testing.assert_array_equal(got["score_extreme"], extreme)
    np.testing.assert_array_equal(got["score_valid"], m)


def test_score_across_groups_aggregates_the_pairs_q_and_leaves_undefined_features_out():
    sizes = (9, 10, 11)
    x = pd.DataFrame(np.random.default_rng(13).normal(size=(6, 30)), index=list("abcdef"))
    x.iloc[4, 9:19] = 1.0  # "e" constant within g1
    labels, groups = labelled(sizes)
    with pytest.warns(corrshift.CorrshiftWarning, match="constant within 'g1'"):
        scores = corrshift.score(x, groupby=labels, groups=groups, permutations=49, **QUIET)
        pairs = corrshift.ztest(x, groupby=labels, groups=groups, permutations=0, **QUIET)
    assert list(scores.columns) == ["feature", "score", "p_permutation", "q_permutation"]
    assert scores.attrs["test"] == "score_groups" and scores.attrs["groups"] == groups
    kept = scores.set_index("feature").drop(index="e")
    # The pairs of "e" are NaN, so left out of the others' scores.
    want = np.delete(feature_scores(pairs["chi2"].to_numpy(), 6, "mean"), 4)
    np.testing.assert_allclose(kept["score"], want, rtol=1e-12)
    assert np.isnan(scores.set_index("feature").loc["e", ["score", "p_permutation"]].astype(float)).all()


@pytest.mark.parametrize("aggregate", ["mean", "median"])
def test_sets_across_groups_score_the_pairs_inside_each_set(aggregate):
    # Units of listed pairs: each set's score over its pairs' Q, and its
    # counts equal to those of the same pairs scored as features of their own
    # call (a set of all features is that call's every pair).
    sizes = (9, 10, 11)
    x = pd.DataFrame(np.random.default_rng(17).normal(size=(8, 30)), index=list("abcdefgh"))
    x.iloc[1, :9] += 2 * x.iloc[0, :9]
    labels, groups = labelled(sizes)
    sets = {"first four": list("abcd"), "all": list("abcdefgh"), "two": ["g", "b"],
            "across": (["a", "b"], ["e", "f", "g"])}
    scores = corrshift.score(x, groupby=labels, groups=groups, sets=sets, aggregate=aggregate, permutations=39,
                             seed=4, **QUIET)
    assert list(scores["set"]) == list(sets) and list(scores["pairs"]) == [6, 28, 1, 6]
    pairs = corrshift.ztest(x, groupby=labels, groups=groups, permutations=0, **QUIET).set_index(
        ["feature_a", "feature_b"])["chi2"]
    inside = {"first four": [(a, b) for a, b in itertools.combinations("abcd", 2)],
              "all": list(itertools.combinations("abcdefgh", 2)), "two": [("b", "g")],
              "across": [(a, b) for a in "ab" for b in "efg"]}
    for name, members in inside.items():
        values = np.sort(pairs.loc[members].to_numpy())
        want = values.mean() if aggregate == "mean" else values[len(values) // 2]
        assert scores.set_index("set").loc[name, "score"] == pytest.approx(want, rel=1e-12), name


@pytest.mark.parametrize("aggregate", ["mean", "median"])
def test_unit_scores_across_groups_follow_a_model_of_the_dealings(aggregate):
    sizes = [6, 7, 6]
    rng = np.random.default_rng(5)
    x = rng.normal(size=(6, sum(sizes))).astype(np.float32)
    x[1, :6] += 2 * x[0, :6]
    first, second = (a.astype(np.int32) for a in np.triu_indices(6, 1))
    # Units of 3, 1, 7 and 4 pairs; the third splits a stretch of one first feature from the next.
    starts = np.array([0, 3, 4, 11], dtype=np.int32)
    m, seed = 30, 3
    got = _core.ztest_groups(x, np.arange(sum(sizes), dtype=np.int32), np.array(sizes, dtype=np.int32), "pearson",
                             m, 2, seed=seed, pair_first=first, pair_second=second, aggregate=aggregate,
                             unit_starts=starts)
    bounds = np.append(starts, len(first))

    def scores(groups):
        q = homogeneity(np.array([correlations(x, g) for g in groups]), sizes)
        units = [np.sort(q[a:b]) for a, b in zip(bounds[:-1], bounds[1:])]
        return np.array([u.mean() if aggregate == "mean" else u[len(u) // 2] for u in units])

    edges = np.concatenate([[0], np.cumsum(sizes)])
    observed = scores([np.arange(lo, hi) for lo, hi in zip(edges[:-1], edges[1:])])
    extreme = sum(scores(deal(seed, c, sizes)) >= observed for c in range(1, m + 1))
    np.testing.assert_allclose(got["score"], observed, rtol=1e-5)
    np.testing.assert_array_equal(got["score_extreme"], extreme)
    np.testing.assert_array_equal(got["score_valid"], m)


@pytest.mark.parametrize("options, message", [
    (dict(pairs=[(0, 1)]), "over all pairs"),
    (dict(alternative="less"), "two-sided"),
    (dict(permutations="auto", sets={"s": [0, 1, 2]}), "not yet available for sets across three groups"),
])
def test_score_across_groups_refuses_what_it_does_not_take(options, message):
    with pytest.raises(ValueError, match=message):
        corrshift.score(DATA, groupby=LABELS, groups=["A", "B", "C"], **{"permutations": 9, **options}, **QUIET)


@pytest.mark.parametrize("contrasts, warned", [(None, False), ("pairwise", True)])
def test_a_table_beyond_the_available_memory_is_warned_about_first(monkeypatch, contrasts, warned):
    # 3 groups, 15 pairs: 116 bytes a pair, 188 with the 3 contrasts; the warning comes beyond half.
    monkeypatch.setattr(memory, "available_memory", lambda: 2 * 15 * 116 + 2)
    labels, groups = labelled((8, 8, 8))
    x = np.random.default_rng(2).normal(size=(6, 24))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        corrshift.ztest(x, groupby=labels, groups=groups, permutations=9, contrasts=contrasts, **QUIET)
    said = [str(w.message) for w in caught if "will take about" in str(w.message)]
    assert bool(said) == warned
    assert not said or "chunks are not yet available with more than two groups" in said[0]


# --- adaptive permutations ---------------------------------------------------------------------------


def _three_changes(seed=5, k=18, n=30):
    """Three groups of n; pairs (0, 1) and (2, 3) change in one group each."""
    rng = np.random.default_rng(seed)
    labels = np.repeat(["A", "B", "C"], n)
    x = rng.normal(size=(k, 3 * n))
    x[1] = np.where(labels == "C", x[0] + 0.3 * rng.normal(size=3 * n), x[1])
    x[3] = np.where(labels == "A", -x[2] + 0.4 * rng.normal(size=3 * n), x[3])
    return x, labels


@pytest.mark.parametrize("method, strata, listed", [("pearson", False, False), ("spearman", True, False),
                                                     ("pearson", False, True)])
def test_auto_rows_have_the_counts_of_fixed_runs_of_their_cycles(method, strata, listed):
    from corrshift.adaptive_runs import groups_auto

    x, labels = _three_changes()
    prep = kgroups.prepare_groups(x, labels, ["A", "B", "C"], method=method,
                                  strata=np.tile([0, 1, 2], 30) if strata else None)
    pairs = None
    if listed:
        first, second = (a.astype(np.int32) for a in np.triu_indices(18, 1))
        pairs = (first[::3].copy(), second[::3].copy())
    dealing = corrshift.native.Dealing(prep.strata, 11)
    columns = groups_auto(prep, pairs, method, 2, False, dealing, 0.05, 2000)
    assert len(np.unique(columns["cycles"])) >= 4
    for c in np.unique(columns["cycles"]):
        fixed = corrshift.native.ztest_groups(prep.matrix, prep.groups, method, int(c), 2, pairs=pairs,
                                              dealing=dealing)
        rows = columns["cycles"] == c
        for name in ("extreme", "valid"):
            np.testing.assert_array_equal(columns[name][rows], fixed[name][rows], err_msg=f"{name} at {c}")


def test_auto_across_groups_decides_as_a_long_fixed_run():
    x, labels = _three_changes()
    groups = dict(groupby=labels, groups=["A", "B", "C"])
    auto = corrshift.ztest(x, permutations="auto", **groups, **QUIET)
    assert auto.attrs["permutations"] == "auto" and auto.attrs["max_permutations"] == 3059
    fixed = corrshift.ztest(x, permutations=auto.attrs["max_permutations"], **groups, **QUIET)

    def decided(table):
        chosen = table[table.q_permutation <= 0.05]
        return set(zip(chosen.feature_a.astype(int), chosen.feature_b.astype(int)))

    assert decided(auto) == decided(fixed) == {(0, 1), (2, 3)}
    assert auto.cycles.median() <= 50 and auto.columns[-1] == "cycles"
    assert auto.attrs["row_cycles"] == auto.cycles.sum() < 0.05 * len(auto) * 3059


@pytest.mark.parametrize("aggregate", ["mean", "median"])
def test_auto_feature_scores_have_the_counts_of_fixed_runs_of_their_cycles(aggregate):
    from corrshift.adaptive_runs import groups_score_auto

    x, labels = _three_changes(k=10)
    x[7, labels == "B"] = 1.0  # constant within B: no score, and left out of the others'
    prep = kgroups.prepare_groups(x, labels, ["A", "B", "C"])
    dealing = corrshift.native.Dealing(None, 6)
    columns = groups_score_auto(prep, "pearson", aggregate, 2, False, dealing, 0.05, 1000)
    assert list(columns["feature"]) == [0, 1, 2, 3, 4, 5, 6, 8, 9]
    assert len(np.unique(columns["cycles"])) >= 2
    kept = np.ascontiguousarray(prep.matrix[columns["feature"]])
    for c in np.unique(columns["cycles"]):
        fixed = corrshift.native.ztest_groups(kept, prep.groups, "pearson", int(c), 2, dealing=dealing,
                                              aggregate=aggregate)
        rows = columns["cycles"] == c
        for name in ("extreme", "valid"):
            np.testing.assert_array_equal(columns[name][rows], fixed[f"score_{name}"][rows], err_msg=f"{name} at {c}")
        np.testing.assert_array_equal(columns["score"], fixed["score"])


def test_auto_feature_scores_across_groups_in_the_table():
    x, labels = _three_changes(k=10)
    groups = dict(groupby=labels, groups=["A", "B", "C"])
    auto = corrshift.score(x, permutations="auto", **groups, **QUIET)
    assert auto.attrs["permutations"] == "auto" and auto.attrs["max_permutations"] == 199
    assert auto.columns[-1] == "cycles" and auto.attrs["row_cycles"] == auto.cycles.sum()
    # Features 0 to 3 change; the others' scores hold only their share of those changes.
    assert set(auto.feature[auto.q_permutation <= 0.05]) <= {0, 1, 2, 3}


# --- in chunks ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("options", [dict(chunk_pairs=40), dict(top=7, chunk_pairs=40),
                                     dict(max_p=0.2, chunk_pairs=25), dict(chunk_pairs=30, method="spearman")])
def test_chunks_across_groups_give_the_rows_of_one_call(options):
    from corrshift.ranking import ranked

    x, labels = _three_changes(k=25, n=20)
    groups = dict(groupby=labels, groups=["A", "B", "C"], permutations=99, seed=3,
                  method=options.pop("method", "pearson"))
    one = corrshift.ztest(x, **groups, **QUIET)
    chunked = corrshift.ztest(x, **options, **groups, **QUIET)
    if "top" in options:
        want = ranked(one).head(options["top"]).reset_index(drop=True)
    elif "max_p" in options:  # in pair order
        want = one[one.p_permutation <= options["max_p"]].reset_index(drop=True)
    else:
        want = one
    assert chunked.attrs["rows"] == len(one) and len(chunked) == len(want) > 2
    shared = [c for c in want.columns if c != "q_normal"]
    # The classes' categories are those that occur among the rows kept.
    pd.testing.assert_frame_equal(chunked[shared], want[shared], check_categorical=False)


def test_chunks_across_groups_to_a_folder_hold_every_row(tmp_path):
    pytest.importorskip("pyarrow")  # the sanitizer run installs no Parquet writer
    x, labels = _three_changes(k=25, n=20)
    groups = dict(groupby=labels, groups=["A", "B", "C"], permutations=99, seed=3)
    assert corrshift.ztest(x, out=tmp_path / "rows", chunk_pairs=40, **groups, **QUIET) is None
    back = pd.read_parquet(tmp_path / "rows")
    one = corrshift.ztest(x, **groups, **QUIET)
    np.testing.assert_array_equal(back["chi2"], one["chi2"])
    np.testing.assert_array_equal(back["p_permutation"], one["p_permutation"])
    assert list(back.columns) == [c for c in one.columns if not c.startswith("q_")]


@pytest.mark.slow
def test_chunks_across_groups_on_dask_equal_one_call():
    distributed = pytest.importorskip("distributed")
    x, labels = _three_changes(k=20, n=20)
    groups = dict(groupby=labels, groups=["A", "B", "C"], permutations=49, seed=3)
    one = corrshift.ztest(x, **groups, **QUIET)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        on_dask = corrshift.ztest(x, client=client, chunk_pairs=30, **groups, progress=False)
    pd.testing.assert_frame_equal(on_dask, one)

