"""The numbers of corrshift.ztest and corrshift.score against float64 statistics.

Tied, sparse data as single-cell users bring it; the permutation null under
shifted means and scales; scores with undefined pairs; small groups;
min_cells.
"""

import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import corrshift

QUIET = dict(progress=False)


def sparse_counts(k=10, n1=40, n2=50, seed=4):
    """Log-normalised counts: about two thirds zeros, a few expressing samples, many ties."""
    rng = np.random.default_rng(seed)
    x = np.log1p(rng.poisson(rng.uniform(0.2, 3, size=(k, 1)), size=(k, n1 + n2)) * (rng.random((k, n1 + n2)) < 0.4))
    x[1] = np.round(x[0] + rng.normal(0, 0.3, size=n1 + n2), 1).clip(0)  # a correlated, tied partner
    return x, np.arange(n1), np.arange(n1, n1 + n2)


def float64_r(x, columns, method):
    """Correlation matrix of the rows over the columns, scipy in float64 (NaN where undefined)."""
    block = x[:, columns]
    with np.errstate(invalid="ignore", divide="ignore"):
        if method == "spearman":
            block = stats.rankdata(block, axis=1)
            block[np.isnan(x[:, columns]).any(axis=1)] = np.nan
        return np.corrcoef(block)


def float64_z(r1, r2):
    cap = np.nextafter(np.float32(1), np.float32(0))
    return np.arctanh(np.clip(r1, -cap, cap)) - np.arctanh(np.clip(r2, -cap, cap))


def expected_pairs(x, g1, g2, method):
    k = x.shape[0]
    a, b = np.triu_indices(k, 1)
    return float64_r(x, g1, method)[a, b], float64_r(x, g2, method)[a, b]


@pytest.mark.filterwarnings("ignore:1 feature is")
@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("case", ["sparse ties", "NaN and constant", "large offset"])
def test_correlations_equal_scipy_and_do_not_depend_on_sample_order(method, case):
    x, g1, g2 = sparse_counts()
    if case == "NaN and constant":
        x[2, g1[5]] = np.nan  # feature 2: undefined in group 1 only
        x[3, g2] = 0.0  # feature 3: constant in group 2 only
    if case == "large offset":
        x = x * 0.01 + 300.0  # float32 keeps ~5 digits of these values
    r1_64, r2_64 = expected_pairs(x, g1, g2, method)
    table = corrshift.ztest(x, g1, g2, method=method, permutations=0, **QUIET)
    np.testing.assert_allclose(table["r1"], r1_64, atol=1e-4, rtol=0)
    np.testing.assert_allclose(table["r2"], r2_64, atol=1e-4, rtol=0)
    np.testing.assert_allclose(table["z_diff"], float64_z(r1_64, r2_64), atol=2e-3, rtol=0)
    undefined = np.isnan(r1_64) | np.isnan(r2_64)
    assert (undefined.sum() > 0) == (case == "NaN and constant")
    assert table.loc[undefined, ["z_diff", "p_normal", "q_normal"]].isna().all().all()
    assert table.loc[~undefined, ["z_diff", "p_normal", "q_normal"]].notna().all().all()
    assert table["p_permutation"].isna().all()  # no permutations, no permutation p-value

    # The same samples in another order, groups following them.
    order = np.random.default_rng(1).permutation(x.shape[1])
    where = np.argsort(order)
    again = corrshift.ztest(x[:, order], where[g1], where[g2], method=method, permutations=0, **QUIET)
    np.testing.assert_allclose(again["r1"], table["r1"], atol=1e-5, rtol=0)
    np.testing.assert_allclose(again["r2"], table["r2"], atol=1e-5, rtol=0)


def correlated_pairs(pairs, n, rho1, rho2, seed):
    """Features (2i, 2i + 1) correlated rho1[i] in group 1 (first n samples) and rho2[i] in group 2."""
    rng = np.random.default_rng(seed)
    x = np.empty((2 * pairs, 2 * n))
    for g, rho in enumerate((rho1, rho2)):
        rho = np.asarray(rho)[:, None]
        a = rng.normal(size=(pairs, n))
        b = rho * a + np.sqrt(1 - rho**2) * rng.normal(size=(pairs, n))
        x[0::2, g * n:(g + 1) * n] = a
        x[1::2, g * n:(g + 1) * n] = b
    return x, [(2 * i, 2 * i + 1) for i in range(pairs)]


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_permutation_test_holds_its_level_under_shifted_means_and_scales(method):
    """Equal correlations (0.9 to 0.98) in both groups; group 2 shifted up in one feature of
    each pair and down in the other, and scaled. Mixed groups then have a correlation
    unlike either group's: without standardising within groups, 16% (Pearson) and 24%
    (Spearman) of these pairs fell below 0.05; standardised, 4.7% and 3.0%."""
    pairs, n = 300, 30
    rng = np.random.default_rng(8)
    rho = rng.uniform(0.9, 0.98, pairs)
    x, listed = correlated_pairs(pairs, n, rho, rho, seed=9)
    x[0::2, n:] = x[0::2, n:] * 2.0 + 3.0
    x[1::2, n:] = x[1::2, n:] * 0.5 - 3.0
    table = corrshift.ztest(x, np.arange(n), np.arange(n, 2 * n), pairs=listed, method=method,
                            permutations=199, **QUIET)
    share = (table["p_permutation"] < 0.05).mean()
    print(f"{method}: {share:.1%} of {pairs} null pairs with p_permutation < 0.05")
    assert 0.01 < share < 0.10


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_a_real_change_of_correlation_is_found(method):
    pairs, n = 100, 30
    x, listed = correlated_pairs(pairs, n, np.full(pairs, 0.9), np.full(pairs, 0.3), seed=10)
    x[:, n:] += 5.0
    table = corrshift.ztest(x, np.arange(n), np.arange(n, 2 * n), pairs=listed, method=method,
                            permutations=199, **QUIET)
    share = (table["p_permutation"] < 0.05).mean()
    print(f"{method}: {share:.1%} of {pairs} pairs (r 0.9 vs 0.3) with p_permutation < 0.05")
    assert share > 0.8
    assert (table["z_diff"] > 0).all()


def model_scores(x, g1, g2, method, aggregate, alternative, runs):
    """Scores in float64 over each run's pairs whose correlations are defined in both groups."""
    r1, r2 = float64_r(x, g1, method), float64_r(x, g2, method)
    z = float64_z(r1, r2)
    scores = []
    for i, partners in runs:
        values = z[i, partners]
        values = values[~np.isnan(values)]
        if aggregate == "mean" or alternative == "two-sided":
            values = np.abs(values)
        if len(values) == 0:
            scores.append(np.nan)
        elif aggregate == "mean":
            scores.append(values.mean())
        else:
            scores.append(np.sort(values)[len(values) // 2])  # the upper middle for even counts
    return np.array(scores)


@pytest.mark.filterwarnings("ignore:1 feature is")
@pytest.mark.parametrize("method, aggregate, alternative", [
    ("pearson", "mean", "two-sided"),
    ("spearman", "mean", "greater"),
    ("pearson", "median", "two-sided"),
    ("spearman", "median", "less"),
])
@pytest.mark.parametrize("given", [False, True])
def test_scores_leave_undefined_pairs_out(method, aggregate, alternative, given):
    x, g1, g2 = sparse_counts(k=9, seed=6)
    x[4, g1] = 1.5  # constant within group 1
    x[7, g2[3]] = np.nan  # undefined within group 2
    permutations = 99
    if given:
        pairs = [(i, j) for i in (0, 4, 6, 2) for j in range(9) if j != i and (i + j) % 3]
        runs = [(i, [j for a, j in pairs if a == i]) for i in (0, 2, 4, 6)]
    else:
        pairs = None
        runs = [(i, [j for j in range(9) if j != i]) for i in range(9)]
    table = corrshift.score(x, g1, g2, pairs=pairs, method=method, aggregate=aggregate, alternative=alternative,
                            permutations=permutations, **QUIET)
    assert list(table["feature"]) == [i for i, _ in runs]
    expected = model_scores(x, g1, g2, method, aggregate, alternative, runs)
    np.testing.assert_allclose(table["score"], expected, atol=1e-4, rtol=0)
    undefined = table["feature"].isin([4, 7]).to_numpy()
    assert np.isnan(expected[undefined]).all() and not np.isnan(expected[~undefined]).any()
    p = table["p_permutation"].to_numpy()
    assert np.isnan(p[undefined]).all() and np.isnan(table["q_permutation"].to_numpy()[undefined]).all()
    assert ((p[~undefined] >= 1 / (permutations + 1)) & (p[~undefined] <= 1)).all()
    np.testing.assert_array_equal(table["q_permutation"][~undefined],
                                  stats.false_discovery_control(p[~undefined], method="bh"))


def test_groups_of_three_have_no_normal_p_value():
    x, g1, g2 = sparse_counts(seed=5)
    x = x + np.random.default_rng(0).normal(0, 0.01, size=x.shape)  # no constant feature among 3 samples
    with pytest.warns(UserWarning, match=r"group1 has 3 samples: p_normal and q_normal are NaN"):
        table = corrshift.ztest(x, g1[:3], g2, permutations=19, **QUIET)
    assert table[["p_normal", "q_normal"]].isna().all().all()
    assert table[["r1", "z_diff", "p_permutation", "q_permutation"]].notna().all().all()
    with pytest.raises(ValueError, match=r"group2 has 2 samples; correlations need at least 3 per group"):
        corrshift.score(x, g1, g2[:2], permutations=19, **QUIET)


def min_cells_data():
    """Features g0-g5 over 10 + 20 samples, observed in 10/20, 10/3, 1/20, 3/3, 0/20, 4/5 of them."""
    observed = [(10, 20), (10, 3), (1, 20), (3, 3), (0, 20), (4, 5)]
    rng = np.random.default_rng(2)
    x = np.zeros((len(observed), 30))
    for i, (a, b) in enumerate(observed):
        x[i, :a] = rng.uniform(1, 2, a)
        x[i, 10:10 + b] = rng.uniform(1, 2, b)
    frame = pd.DataFrame(x, index=[f"g{i}" for i in range(len(observed))])
    return frame, np.arange(10), np.arange(10, 30)


@pytest.mark.parametrize("min_cells, left_out", [
    (3, ["g2", "g4"]),
    (4, ["g1", "g2", "g3", "g4"]),
    (0.15, ["g2", "g4"]),  # 2 of group 1's 10, 3 of group 2's 20
    (0.3, ["g1", "g2", "g3", "g4", "g5"]),  # 3 of 10, 6 of 20: one feature, no pair
    (0, []),
])
def test_min_cells_leaves_out_features_rarely_observed_in_a_group(min_cells, left_out):
    frame, g1, g2 = min_cells_data()
    with pytest.warns(UserWarning) as caught:
        table = corrshift.ztest(frame, g1, g2, min_cells=min_cells, permutations=9, **QUIET)
    messages = [str(w.message) for w in caught]
    kept = [f for f in frame.index if f not in left_out]
    assert set(table["feature_a"]) | set(table["feature_b"]) == set(kept if len(kept) > 1 else [])
    assert len(table) == len(kept) * (len(kept) - 1) // 2
    assert table.attrs["filtered"] == left_out and table.attrs["n_filtered"] == len(left_out)
    assert table.attrs["min_cells"] == min_cells and table.attrs["features"] == len(kept)
    assert any(f"leaves out {len(left_out)} feature" in m for m in messages) == bool(left_out)
    # The same features, left out by hand, give the same rows.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # g4 kept: constant (all 0) in group 1
        by_hand = corrshift.ztest(frame.loc[kept], g1, g2, permutations=9, **QUIET)
    pd.testing.assert_frame_equal(table, by_hand)


def test_min_cells_drops_given_pairs_and_scores_of_left_out_features():
    frame, g1, g2 = min_cells_data()
    pairs = [("g0", "g2"), ("g5", "g0"), ("g3", "g5")]
    with pytest.warns(UserWarning, match=r"min_cells=4 leaves out 4 features .*: 'g1', 'g2', 'g3', 'g4'"):
        table = corrshift.ztest(frame, g1, g2, pairs=pairs, min_cells=4, permutations=9, **QUIET)
    assert list(zip(table["feature_a"], table["feature_b"])) == [("g5", "g0")]
    with pytest.warns(UserWarning, match="leaves out"):
        scores = corrshift.score(frame, g1, g2, min_cells=4, permutations=9, **QUIET)
    assert list(scores["feature"]) == ["g0", "g5"]
    with pytest.raises(ValueError, match="min_cells=4 leaves out a feature of every given pair"):
        corrshift.ztest(frame, g1, g2, pairs=[("g0", "g2")], min_cells=4, permutations=9, **QUIET)
    with pytest.raises(ValueError, match="min_cells=11 leaves no feature"):
        corrshift.ztest(frame, g1, g2, min_cells=11, permutations=9, **QUIET)


@pytest.mark.parametrize("value", [-1, 1.0, 1.5, 0.0, True, "3", 2.0])
def test_min_cells_refuses_what_is_neither_a_count_nor_a_fraction(value):
    frame, g1, g2 = min_cells_data()
    with pytest.raises(ValueError, match="min_cells must be"):
        corrshift.ztest(frame, g1, g2, min_cells=value, permutations=9, **QUIET)


# --- permutations within strata ------------------------------------------------------------------


def _confounded_batches(seed, pairs=60, per_cell=30):
    """Group membership confounded with a batch whose correlation differs.

    Each pair has correlation 0.9 in batch A and 0.1 in batch B, the same in
    both groups; group 1 is mostly batch A and group 2 mostly batch B. The
    groups' correlations differ because of the batches, not the groups.
    """
    rng = np.random.default_rng(seed)
    cells = {("g1", "A"): 2 * per_cell, ("g1", "B"): per_cell // 2,
             ("g2", "A"): per_cell // 2, ("g2", "B"): 2 * per_cell}
    blocks, groups, batches = [], [], []
    for (group, batch), n in cells.items():
        rho = 0.9 if batch == "A" else 0.1
        cov = np.array([[1, rho], [rho, 1]])
        block = np.concatenate([rng.multivariate_normal([0, 0], cov, size=n).T for _ in range(pairs)])
        blocks.append(block)
        groups += [group] * n
        batches += [batch] * n
    data = pd.DataFrame(np.concatenate(blocks, axis=1), index=[f"f{i}" for i in range(2 * pairs)])
    data.columns = [f"s{j}" for j in range(data.shape[1])]
    samples = pd.DataFrame({"group": groups, "batch": batches}, index=data.columns)
    first = [f"f{2 * i}" for i in range(pairs)]
    second = [f"f{2 * i + 1}" for i in range(pairs)]
    return data, samples, list(zip(first, second))


def test_strata_keep_a_confounding_batch_out_of_the_null():
    """Without strata most pairs are called; with the batch as strata, the
    null holds (about 5%), while a real change within each batch is still
    found."""
    data, samples, pairs = _confounded_batches(3)
    common = dict(groupby=samples["group"], groups=("g1", "g2"), pairs=pairs, permutations=199, **QUIET)
    plain = corrshift.ztest(data, **common)
    stratified = corrshift.ztest(data, strata=samples["batch"], **common)
    np.testing.assert_array_equal(plain["r1"], stratified["r1"])  # the observed statistics do not change
    assert (plain["p_permutation"] < 0.05).mean() > 0.5
    assert (stratified["p_permutation"] < 0.05).mean() < 0.15
    assert stratified.attrs["strata"] == ["A", "B"]
    # A real change: group 2's pairs lose their correlation in both batches.
    changed = data.copy()
    in_g2 = (samples["group"] == "g2").to_numpy()
    rng = np.random.default_rng(4)
    for _, b in pairs:
        changed.loc[b, in_g2] = rng.normal(size=in_g2.sum())
    found = corrshift.ztest(changed, strata=samples["batch"], **common)
    assert (found["p_permutation"] < 0.05).mean() > 0.8


def test_strata_must_cover_the_analysed_samples():
    data, samples, pairs = _confounded_batches(1, pairs=2, per_cell=8)
    batch = samples["batch"].copy()
    batch.iloc[0] = None
    with pytest.raises(ValueError, match="strata gives no stratum to 1 of the analysed samples"):
        corrshift.ztest(data, groupby=samples["group"], groups=("g1", "g2"), strata=batch, **QUIET)
