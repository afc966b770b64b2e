"""corrshift.ztest and corrshift.score: conversions, p- and q-values, undefined values, errors."""

import sys
import warnings

import anndata
import numpy as np
import pandas as pd
import pytest
from scipy import sparse, stats

import corrshift
from corrshift.pvalues import EMPTY_TALLY, PValueTally, bh_qvalues, permutation_pvalues, permutation_qvalues

from terminal_screen import render

# anndata's own use of a pandas option it may not know yet.
pytestmark = pytest.mark.filterwarnings("ignore:The 'future.infer_string' option is deprecated")

PERMUTATIONS = 50
QUIET = dict(permutations=PERMUTATIONS, progress=False)


def _data(k=6, n1=12, n2=14, third=5, seed=3):
    """k features; group 1, group 2 and a third group of samples, interleaved.

    Features 0 and 1 are correlated in group 1 only, so the tests have a
    real difference to find.
    """
    rng = np.random.default_rng(seed)
    p = n1 + n2 + third
    x = rng.normal(size=(k, p)) * 2.0 + 5.0
    labels = np.array(["a"] * n1 + ["b"] * n2 + ["c"] * third, dtype=object)
    labels = labels[rng.permutation(p)]
    ga = labels == "a"
    x[1, ga] = x[0, ga] + 0.3 * rng.normal(size=ga.sum())
    return x, labels


X, LABELS = _data()
G1 = np.flatnonzero(LABELS == "a")
G2 = np.flatnonzero(LABELS == "b")
FEATURES = [f"f{i}" for i in range(X.shape[0])]
SAMPLES = [f"s{j}" for j in range(X.shape[1])]
FRAME = pd.DataFrame(X, index=FEATURES, columns=SAMPLES)


def _anndata(layer=None, as_sparse=False):
    cells = X.T.copy()
    matrix = sparse.csr_matrix(cells) if as_sparse else cells
    obs = pd.DataFrame({"kind": LABELS}, index=SAMPLES)
    var = pd.DataFrame(index=FEATURES)
    if layer is None:
        return anndata.AnnData(matrix, obs=obs, var=var)
    return anndata.AnnData(np.zeros_like(cells), obs=obs, var=var, layers={layer: matrix})


# Every way of giving the same data and groups; all must give the numbers of
# the one native call on the two groups' columns.
INPUTS = {
    "ndarray positions": lambda: ((X, G1, G2), {}),
    "ndarray masks": lambda: ((X, LABELS == "a", LABELS == "b"), {}),
    "list of lists, range": lambda: ((X.tolist(), list(G1), list(G2)), {}),
    "DataFrame names": lambda: ((FRAME, [SAMPLES[j] for j in G1], [SAMPLES[j] for j in G2]), {}),
    "DataFrame groupby Series": lambda: ((FRAME,), dict(groupby=pd.Series(LABELS, index=SAMPLES)[::-1],
                                                        groups=("a", "b"))),
    "DataFrame groupby list": lambda: ((FRAME,), dict(groupby=list(LABELS), groups=("a", "b"))),
    "float32 Fortran order": lambda: ((np.asfortranarray(X, dtype=np.float32), G1, G2), {}),
    "AnnData dense obs": lambda: ((_anndata(),), dict(groupby="kind", groups=("a", "b"))),
    "AnnData sparse layer": lambda: ((_anndata("counts", True),), dict(layer="counts", groupby="kind",
                                                                        groups=("a", "b"))),
    "scipy sparse": lambda: ((sparse.csr_matrix(X), G1, G2), {}),
}


def _reference(method="pearson", x=X):
    """The analysis of the plain form: an ndarray and group positions."""
    return corrshift.ztest(x, G1, G2, method=method, **QUIET)


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("form", INPUTS)
def test_every_input_form_gives_the_same_numbers(form, method):
    args, kwargs = INPUTS[form]()
    table = corrshift.ztest(*args, method=method, **kwargs, **QUIET)
    # float32 data are standardised from their float32 values.
    reference = _reference(method, X.astype(np.float32) if "float32" in form else X)
    for column in ("r1", "r2", "z_diff", "p_normal", "p_permutation", "q_normal", "q_permutation"):
        np.testing.assert_array_equal(table[column], reference[column])
    first, second = np.triu_indices(X.shape[0], 1)
    names = np.array(FEATURES if form.startswith(("DataFrame", "AnnData")) else range(X.shape[0]), dtype=object)
    assert list(table["feature_a"]) == list(names[first])
    assert list(table["feature_b"]) == list(names[second])
    assert table.attrs["n1"] == len(G1) and table.attrs["n2"] == len(G2)


def test_third_group_never_enters_the_analysis():
    # Neither the standardisation nor the permutations see the third group's samples.
    table = _reference()
    alone = corrshift.ztest(X[:, np.concatenate([G1, G2])], np.arange(len(G1)),
                            np.arange(len(G1), len(G1) + len(G2)), **QUIET)
    pd.testing.assert_frame_equal(table, alone)


class _Engine:
    """A stand-in for the native engine with known permutation counts.

    Pair 0: 2 of 5 defined cycles as extreme; pair 1: 0 of 9; pair 2: the
    observed statistic undefined; pair 3: 9 of 9.
    """

    def ztest_indexed(self, data, first, second, group1, group2, method, alternative, permutations, threads,
                      progress=None, strata=None, **dealing):
        f32, u32 = np.float32, np.uint32
        return (np.array([0.5, 0.9, np.nan, 0.1], f32), np.array([0.1, -0.2, 0.3, 0.1], f32),
                np.array([0.45, 1.68, np.nan, 0.0], f32), np.array([0.2, 0.001, np.nan, 1.0], f32),
                np.array([2, 0, 0, 9], u32), np.array([5, 9, 0, 9], u32))

    def __getattr__(self, name):  # the rest of the table (q-values, classes) from the real engine
        from corrshift import _core
        return getattr(_core, name)


def test_permutation_p_is_formed_from_the_defined_cycles(monkeypatch):
    monkeypatch.setattr(corrshift.native, "_core", _Engine())
    x = np.random.default_rng(0).normal(size=(3, 12))
    table = corrshift.ztest(x, range(6), range(6, 12), pairs=[(0, 1), (0, 2), (1, 2), (2, 0)], permutations=9,
                            progress=False)
    np.testing.assert_array_equal(table["p_permutation"], [3 / 6, 1 / 10, np.nan, 10 / 10])
    tested = [0, 1, 3]
    np.testing.assert_array_equal(table["q_permutation"][tested],
                                  stats.false_discovery_control([3 / 6, 1 / 10, 1.0], method="bh"))
    assert np.isnan(table["q_permutation"][2]) and np.isnan(table["p_normal"][2])


@pytest.mark.parametrize("valid", [[99], [3, 4, 99, 100]])  # one cycle count (counted by extreme), or several
def test_pvalue_tally_from_counts_equals_the_tally_of_the_pvalues(valid):
    rng = np.random.default_rng(4)
    valid = rng.choice(valid, 2000).astype(np.uint32)
    extreme = rng.integers(0, valid + 1).astype(np.uint32)
    tested = rng.random(2000) < 0.9
    expected = PValueTally.of(permutation_pvalues(extreme, valid, np.zeros(2000))[tested])
    got = PValueTally.of_counts(extreme, valid, tested)
    np.testing.assert_array_equal(got.values, expected.values)
    np.testing.assert_array_equal(got.counts, expected.counts)


def test_pvalue_tally_gives_scipys_q_values_over_all_rows():
    # Rows with permutation counts over differing defined cycles, tallied in
    # parts: equal ratios (1/2 and 2/4) must count as one p-value.
    rng = np.random.default_rng(3)
    valid = rng.choice([3, 4, 99, 100], 500)
    extreme = rng.integers(0, valid + 1)
    p = (extreme + 1) / (valid + 1)
    p[rng.random(500) < 0.1] = np.nan  # untested rows
    parts = np.array_split(rng.permutation(500), 7)
    tally = sum((PValueTally.of(p[part]) for part in parts), EMPTY_TALLY)
    assert tally.total == np.isfinite(p).sum()
    tested = np.isfinite(p)
    expected = np.full(500, np.nan)
    expected[tested] = stats.false_discovery_control(p[tested], method="bh")
    np.testing.assert_array_equal(tally.qvalues(p), expected)
    np.testing.assert_array_equal(tally.qvalues(p[parts[0]]), expected[parts[0]])


def _scipy_bh(p):
    q = np.full(len(p), np.nan)
    tested = ~np.isnan(p)
    if tested.any():
        q[tested] = stats.false_discovery_control(p[tested], method="bh")
    return q


@pytest.mark.parametrize("values", [
    "float32",  # the engine's normal p-values: ordered by the engine's radix sort of their bits
    "float32 array",  # given as float32 itself
    "float32 ties",  # runs of equal float32 values
    "float32 edges",  # zeros of both signs, denormals, ones, values next to 1
    "float64",  # not float32 values: an argsort
    "ties",     # runs of equal p-values, zeros among them
    "single",
    "none",     # no tested row
])
def test_bh_qvalues_equal_scipys_bit_for_bit(values):
    rng = np.random.default_rng(11)
    p = rng.random(5000) ** 3
    if values.startswith("float32"):
        p = p.astype(np.float32).astype(np.float64)
    if values == "float32 ties":
        p = np.round(p, 2).astype(np.float32).astype(np.float64)
    elif values == "float32 edges":
        edges = np.array([0.0, -0.0, 1.0, 1.0, np.nextafter(np.float32(1), np.float32(0)),
                          np.float32(1e-45), np.float32(1e-40), np.finfo(np.float32).tiny], dtype=np.float64)
        p[rng.integers(0, len(p), 400)] = rng.choice(edges, 400)
    elif values == "ties":
        p = np.round(p, 2)
    elif values == "single":
        p = p[:1]
    p[rng.random(len(p)) < (1.0 if values == "none" else 0.1)] = np.nan
    given = p.astype(np.float32) if values == "float32 array" else p
    np.testing.assert_array_equal(bh_qvalues(given), _scipy_bh(p))


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_engine_qvalues_do_not_depend_on_threads(threads):
    # Enough rows for every thread to take a share of each radix pass, the
    # stretches of ranks split among them, with ties and NaN across shares.
    from corrshift import _core
    rng = np.random.default_rng(5)
    p = (rng.random(400_000) ** 4).astype(np.float32)
    p[rng.integers(0, len(p), 50_000)] = np.float32(0.5)
    p[rng.random(len(p)) < 0.05] = np.nan
    np.testing.assert_array_equal(_core.bh_qvalues(p, threads), _scipy_bh(p.astype(np.float64)))
    # Its keys order values in [0, 1] only: others are refused, not misordered.
    for outside in (2.0, -0.25, np.inf):
        with pytest.raises(ValueError, match="between 0 and 1"):
            _core.bh_qvalues(np.array([0.5, outside, 0.1], dtype=np.float32), threads)


@pytest.mark.parametrize("cycles, most", [(99, 99), ([99, 100, 99], 100), (0, 0), (99, 0)])
def test_permutation_qvalues_from_counts_equal_scipys(cycles, most):
    # One cycle count throughout (tallied by extreme), counts that differ, no
    # permutations (p = 1 throughout), or no cycle ever extreme (one p-value).
    rng = np.random.default_rng(12)
    valid = np.resize(cycles, 3000).astype(np.uint32)
    extreme = rng.integers(0, np.minimum(valid, most) + 1).astype(np.uint32)
    statistic = rng.normal(size=3000)
    statistic[rng.random(3000) < 0.1] = np.nan
    p = permutation_pvalues(extreme, valid, statistic)
    np.testing.assert_array_equal(permutation_qvalues(extreme, valid, p), _scipy_bh(p))


def test_q_values_are_scipys_bh_over_tested_rows_only():
    x = X.copy()
    x[4, G1] = 7.0  # constant within group 1: its pairs have no r1
    with pytest.warns(UserWarning, match=r"1 feature is constant within 'group1'.*4"):
        table = corrshift.ztest(x, G1, G2, **QUIET)
    undefined = (table["feature_a"] == 4) | (table["feature_b"] == 4)
    assert undefined.sum() == 5
    assert table.loc[undefined, ["r1", "z_diff", "p_normal", "p_permutation", "q_normal",
                                 "q_permutation"]].isna().all().all()
    assert table.loc[undefined, "r2"].notna().all()
    tested = table[~undefined]
    for p, q in (("p_normal", "q_normal"), ("p_permutation", "q_permutation")):
        # scipy in float64 (the table's q-values are float64, whatever the p-values' type).
        np.testing.assert_array_equal(tested[q], stats.false_discovery_control(tested[p].astype(np.float64),
                                                                                method="bh"))


def test_values_equal_in_float32_but_not_in_float64_keep_their_correlation():
    # Standardised in float64 first, the one value that differs is not lost
    # to float32: the correlations are float64's, never undefined or -2.
    x = X.copy()
    x[2, G2] = 0.1
    x[2, G2[0]] = 0.1 + 1e-12
    table = corrshift.ztest(x, G1, G2, **QUIET)
    with2 = ((table["feature_a"] == 2) | (table["feature_b"] == 2)).to_numpy()
    expected = np.corrcoef(x[:, G2])[np.triu_indices(X.shape[0], 1)]
    np.testing.assert_allclose(table["r2"], expected, atol=1e-6)
    assert np.abs(table.loc[with2, "r2"]).max() > 0.05


def test_missing_values_make_their_group_undefined():
    x = X.copy()
    x[3, G1[2]] = np.nan
    with pytest.warns(UserWarning, match=r"1 feature is missing \(NaN\) in some samples of 'group1'.*: 3;"):
        table = corrshift.ztest(x, G1, G2, **QUIET)
    with3 = ((table["feature_a"] == 3) | (table["feature_b"] == 3)).to_numpy()
    assert table.loc[with3, ["r1", "z_diff", "p_permutation"]].isna().all().all()
    np.testing.assert_array_equal(table["r2"], _reference()["r2"])


def test_pairs_by_name_index_and_frame_give_the_rows_of_all_pairs():
    pairs_idx = (np.array([3, 0, 5, 1], np.int32), np.array([1, 2, 0, 4], np.int32))
    full = _reference().set_index(["feature_a", "feature_b"])
    expected = full.loc[[(min(a, b), max(a, b)) for a, b in zip(*pairs_idx)]]
    by_name = [(FEATURES[a], FEATURES[b]) for a, b in zip(*pairs_idx)]
    forms = [by_name, list(zip(*pairs_idx)), pd.DataFrame(by_name, columns=["x", "y"]),
             np.array(list(zip(*pairs_idx)))]
    for pairs in forms:
        table = corrshift.ztest(FRAME, [SAMPLES[j] for j in G1], [SAMPLES[j] for j in G2], pairs=pairs, **QUIET)
        for column in ("r1", "r2", "z_diff", "p_permutation"):
            np.testing.assert_array_equal(table[column], expected[column])
        assert list(table["feature_a"]) == [FEATURES[a] for a in pairs_idx[0]]
    # A z-test table can be fed back as pairs.
    again = corrshift.ztest(FRAME, groupby=list(LABELS), groups=("a", "b"), pairs=table, **QUIET)
    np.testing.assert_array_equal(again["z_diff"], table["z_diff"])


def test_score_sorts_given_pairs_by_first_feature():
    # Unsorted, the runs of a first feature would be cut into pieces. Within
    # each run the partners are in data order, as over all pairs.
    pairs = [(2, 0), (0, 1), (2, 1), (1, 0), (0, 2), (2, 3), (1, 2), (0, 3), (2, 4), (0, 4), (1, 3), (2, 5),
             (0, 5), (1, 4), (1, 5)]
    table = corrshift.score(X, G1, G2, pairs=pairs, **QUIET)
    full = corrshift.score(X, G1, G2, **QUIET)
    assert list(table["feature"]) == [0, 1, 2]
    np.testing.assert_array_equal(table["score"], full["score"][:3])
    np.testing.assert_array_equal(table["p_permutation"], full["p_permutation"][:3])


@pytest.mark.parametrize("test", [corrshift.ztest, corrshift.score])
def test_center_is_accepted_without_effect(test):
    with pytest.warns(FutureWarning, match=r"center= \(--no-center\) has no effect"):
        table = test(X, G1, G2, center=False, **QUIET)
    pd.testing.assert_frame_equal(table, test(X, G1, G2, **QUIET))


@pytest.mark.parametrize("progress,terminal,shown", [
    (True, False, True),    # forced on
    (False, True, False),   # forced off
    (None, True, True),     # standard error is a terminal: someone is watching
    (None, False, False),   # a log or a pipe
])
def test_progress_bar_on_standard_error_only(capfd, monkeypatch, progress, terminal, shown):
    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal)
    corrshift.ztest(X, G1, G2, permutations=5, progress=progress)
    out, err = capfd.readouterr()
    assert out == ""
    if shown:
        lines = render(err)  # one bar, its line ended, showing every cycle done
        assert [line for line in lines if "Permutations" in line] == [lines[-2]] and lines[-1] == ""
        assert lines[-2].startswith("Permutations: 100%")
    else:
        assert "Permutations" not in err


def test_results_do_not_depend_on_threads():
    one = corrshift.ztest(X, G1, G2, threads=1, **QUIET)
    default = corrshift.ztest(X, G1, G2, threads=None, **QUIET)
    pd.testing.assert_frame_equal(one, default)


INF_X = X.copy()
INF_X[5, G2[0]] = -np.inf


@pytest.mark.parametrize("args, kwargs, message", [
    ((FRAME, ["s0", "nope", "zzz"], ["s1"]), {}, r"group1: 2 sample names not in the data: 'nope', 'zzz'"),
    ((FRAME, G1, G2), dict(pairs=[("f0", "gene9")]), r"pairs: 1 feature name not in the data: 'gene9'"),
    ((X, G1, G2), dict(pairs=[(0, 9)]), r"pairs: feature position 9 out of range; data has 6 features"),
    ((X, G1, np.append(G2, G1[0])), {}, r"group1 and group2 share 1 sample"),
    ((X, [], G2), {}, r"group1 is empty"),
    ((X, np.ones(5, bool), G2), {}, r"boolean mask of 5 entries but the data has 31 samples"),
    ((X, [0, 1, 2, 40], G2), {}, r"group1: sample position 40 out of range"),
    ((X, [0, 1, 2, 2], G2), {}, r"group1 lists samples more than once: 2"),
    ((INF_X, G1, G2), {}, r"infinite values in 1 feature among the analysed samples: 5"),
    ((X, G1[:2], G2), {}, r"group1 has 2 samples; correlations need at least 3 per group"),
    ((X[0], G1, G2), {}, r"data must be 2-D \(features x samples\); got shape \(31,\)"),
    ((X[None], G1, G2), {}, r"data must be 2-D"),
    ((np.full((3, 31), "x"), G1, G2), {}, r"data must hold numbers"),
    ((FRAME.assign(name="x"), G1, G2), {}, r"data columns 'name' are not numeric"),
    ((pd.concat([FRAME, FRAME.iloc[:1]]), G1, G2), {}, r"duplicate feature names: 'f0'"),
    ((X, G1, G2), dict(method="kendall"), r'method must be one of "pearson", "spearman"; got \'kendall\''),
    ((X, G1, G2), dict(alternative="Less"), r"alternative must be one of"),
    ((X, G1, G2), dict(permutations=10.0), r"permutations must be a whole number; got 10.0"),
    ((X, G1, G2), dict(permutations=-1), r"permutations must be between 0 and 16777216"),
    ((X, G1, G2), dict(threads=0), r"threads must be between 1"),
    ((X, G1, G2), dict(pairs=[(1, 1)]), r"pairs\[0\] pairs feature 1 with itself"),
    ((X, G1, G2), dict(pairs=[(1, 2, 3)]), r"pairs\[0\] must be a \(feature, feature\) pair"),
    ((X, G1, G2), dict(pairs=[]), r"pairs lists no pair"),
    ((X,), dict(groupby=list(LABELS)), r"groupby= \(one label per sample\) and groups="),
    ((X,), dict(groupby=list(LABELS), groups=("a", "x")), r"no sample is labelled 'x'; the labels are '[abc]', '[abc]', '[abc]'"),
    ((X, G1), {}, r"give both groups"),
    ((X, G1, G2), dict(groupby=list(LABELS), groups=("a", "b")), r"not both"),
    ((X,), dict(groupby="kind", groups=("a", "b")), r"names a column of an AnnData's .obs"),
    ((X,), dict(groupby=LABELS[:10], groups=("a", "b")), r"groupby must hold one label per sample \(31\)"),
    ((X, G1, G2), dict(layer="counts"), r"layer= names a layer of an AnnData"),
    ((FRAME,), dict(groupby=pd.Series(LABELS), groups=("a", "b")),
     r"groupby is a Series with a default index .* matched by row number, not by sample: index the labels"),
    ((FRAME,), dict(groupby=pd.Series(LABELS, index=[f"x{j}" for j in range(31)]), groups=("a", "b")),
     r"groupby's index \('x0', .* shares no name with the data's samples \('s0'"),
    ((FRAME,), dict(groupby=pd.concat([pd.Series(LABELS, index=SAMPLES), pd.Series(["T", "T"], index=["t1", "t2"])]),
                    groups=("a", "T")),
     r"no sample of the data is labelled 'T': the 2 samples labelled 'T' in groupby \('t1', 't2'\) are not "
     r"among the data's samples \('s0'"),
])
def test_errors_in_the_users_terms(args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        corrshift.ztest(*args, **{**QUIET, **kwargs})


@pytest.mark.parametrize("kwargs, message", [
    (dict(groupby="kind2", groups=("a", "b")), r"\.obs has no column 'kind2'; its columns are 'kind'"),
    (dict(groupby="kind", groups=("a", "b"), layer="raw"), r"no layer 'raw'; its layers are: none"),
])
def test_anndata_errors(kwargs, message):
    with pytest.raises(ValueError, match=message):
        corrshift.ztest(_anndata(), **kwargs, **QUIET)


def test_score_errors():
    with pytest.raises(ValueError, match=r'aggregate must be one of "mean", "median"; got \'max\''):
        corrshift.score(X, G1, G2, aggregate="max", **QUIET)
    with pytest.raises(ValueError, match="data has no features"):
        corrshift.score(np.zeros((0, 31)), G1, G2, **QUIET)


def test_no_bare_type_error_for_everyday_argument_types():
    # float64 data, int64 positions, numpy integers as counts: all converted.
    table = corrshift.ztest(X.astype(np.float64), G1.astype(np.int64), tuple(G2), permutations=np.int64(5),
                            threads=np.int32(1), progress=False)
    assert len(table) == 15
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # Enough permutations for 6 features: no warning about the count either.
        corrshift.score(X.astype(np.int16), G1, G2, permutations=119, progress=False)
