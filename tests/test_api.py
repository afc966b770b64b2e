"""corrshift.ztest and corrshift.score: conversions, p- and q-values, centring, errors."""

import os
import warnings

import anndata
import numpy as np
import pandas as pd
import pipelines
import pytest
import sample_data
from scipy import sparse, stats

import corrshift
from corrshift.stdout import silenced_stdout

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


def _native_ztest(x, g1, g2, pairs=None, method="pearson", alternative="two-sided", m=PERMUTATIONS):
    """The native call on the two groups' columns only, as the API makes it."""
    sub = np.ascontiguousarray(x[:, np.concatenate([g1, g2])], dtype=np.float32)
    a = np.arange(len(g1), dtype=np.int32)
    b = np.arange(len(g1), len(g1) + len(g2), dtype=np.int32)
    with silenced_stdout():
        if pairs is None:
            return pipelines._ztest_pipeline_exhaustive(sub, a, b, method, alternative, m, 2)
        return pipelines._ztest_pipeline_indexed(sub, *pairs, a, b, method, alternative, m, 2)


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


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("form", INPUTS)
def test_every_input_form_gives_the_native_numbers(form, method):
    args, kwargs = INPUTS[form]()
    # center=False: the raw native numbers (centring is tested on its own).
    table = corrshift.ztest(*args, method=method, center=False, **kwargs, **QUIET)
    r1, r2, z, p_normal, p_native = _native_ztest(X, G1, G2, method=method)
    np.testing.assert_array_equal(table["r1"], r1.astype(np.float64))
    np.testing.assert_array_equal(table["r2"], r2.astype(np.float64))
    np.testing.assert_array_equal(table["z_diff"], z.astype(np.float64))
    np.testing.assert_array_equal(table["p_normal"], p_normal.astype(np.float64))
    b = np.rint(p_native.astype(np.float64) * PERMUTATIONS)
    np.testing.assert_array_equal(table["p_permutation"], (b + 1) / (PERMUTATIONS + 1))
    first, second = np.triu_indices(X.shape[0], 1)
    names = np.array(FEATURES if form.startswith(("DataFrame", "AnnData")) else range(X.shape[0]), dtype=object)
    assert list(table["feature_a"]) == list(names[first])
    assert list(table["feature_b"]) == list(names[second])
    assert table.attrs["n1"] == len(G1) and table.attrs["n2"] == len(G2)


def test_third_group_never_enters_the_permutations():
    # The observed correlations are those of a native call on all columns,
    # but the permutation p-values must be those of the two groups alone.
    table = corrshift.ztest(X, G1, G2, center=False, **QUIET)
    full = np.ascontiguousarray(X, dtype=np.float32)
    with silenced_stdout():
        r1, _, _, _, p_all = pipelines._ztest_pipeline_exhaustive(
            full, G1.astype(np.int32), G2.astype(np.int32), "pearson", "two-sided", PERMUTATIONS, 1)
    np.testing.assert_array_equal(table["r1"], r1.astype(np.float64))
    p_two = _native_ztest(X, G1, G2)[4]
    b = np.rint(p_two.astype(np.float64) * PERMUTATIONS)
    np.testing.assert_array_equal(table["p_permutation"], (b + 1) / (PERMUTATIONS + 1))
    assert not np.array_equal(p_two, p_all)


@pytest.mark.parametrize("alternative, native_fraction", [
    ("two-sided", [1, 1 / 3, 0]),
    ("greater", [1 / 3, 2 / 3, 0]),
    ("less", [2 / 3, 1 / 3, 1]),
])
def test_permutation_p_is_b_plus_1_over_m_plus_1(alternative, native_fraction):
    # The worked example: three permutations whose counts are known.
    table = corrshift.ztest(sample_data.WORKED_DATA, sample_data.WORKED_GROUP1, sample_data.WORKED_GROUP2,
                            alternative=alternative, permutations=3, progress=False, center=False)
    np.testing.assert_allclose(table["r1"], [-0.74533, -0.7405, 0.99509], atol=5e-6)
    np.testing.assert_allclose(table["z_diff"], [-0.33705, -0.75901, 2.4821], atol=5e-5)
    b = np.array(native_fraction) * 3
    np.testing.assert_array_equal(table["p_permutation"], (b + 1) / 4)
    assert table["p_permutation"].min() >= 1 / 4


def test_permutation_counts_recovered_exactly_for_large_m():
    # b/m in float32 times m is not b; rounding must recover b for every b.
    m = 16_777_215
    b = np.array([0, 1, 2, 3, 12_345, 8_388_607, m - 1, m], dtype=np.int64)
    native = (b.astype(np.float32) / np.float32(m)).astype(np.float32)
    from corrshift.pvalues import permutation_pvalues
    np.testing.assert_array_equal(permutation_pvalues(native, m), (b + 1) / (m + 1))


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
        np.testing.assert_array_equal(tested[q], stats.false_discovery_control(tested[p], method="bh"))


def test_feature_constant_in_float32_is_undefined_not_the_marker():
    # Values that differ in float64 but not in float32 are constant for the
    # native code: their r is NaN, never the marker -2.0 or a rounding artefact.
    x = X.copy()
    x[2, G2] = 0.1
    x[2, G2[0]] = 0.1 + 1e-12
    with pytest.warns(UserWarning, match="constant within 'group2'"):
        table = corrshift.ztest(x, G1, G2, center=False, **QUIET)
    with2 = (table["feature_a"] == 2) | (table["feature_b"] == 2)
    assert table.loc[with2, "r2"].isna().all() and table.loc[~with2, "r2"].notna().all()
    assert not (table[["r1", "r2"]] == -2.0).any().any()


def test_pairs_by_name_index_and_frame_give_the_native_indexed_numbers():
    pairs_idx = (np.array([3, 0, 5, 1], np.int32), np.array([1, 2, 0, 4], np.int32))
    expected = _native_ztest(X, G1, G2, pairs=pairs_idx)
    by_name = [(FEATURES[a], FEATURES[b]) for a, b in zip(*pairs_idx)]
    forms = [by_name, list(zip(*pairs_idx)), pd.DataFrame(by_name, columns=["x", "y"]),
             np.array(list(zip(*pairs_idx)))]
    for pairs in forms:
        table = corrshift.ztest(FRAME, [SAMPLES[j] for j in G1], [SAMPLES[j] for j in G2], pairs=pairs,
                                center=False, **QUIET)
        np.testing.assert_array_equal(table["z_diff"], expected[2].astype(np.float64))
        assert list(table["feature_a"]) == [FEATURES[a] for a in pairs_idx[0]]
    # A z-test table can be fed back as pairs.
    again = corrshift.ztest(FRAME, groupby=list(LABELS), groups=("a", "b"), pairs=table, center=False, **QUIET)
    np.testing.assert_array_equal(again["z_diff"], table["z_diff"])


def test_score_sorts_given_pairs_by_first_feature():
    # Unsorted, the native call would leave pairs out of the runs.
    pairs = [(2, 0), (0, 1), (2, 5), (1, 3), (0, 4), (1, 0)]
    table = corrshift.score(X, G1, G2, pairs=pairs, center=False, **QUIET)
    first = np.array([p[0] for p in pairs], np.int32)
    second = np.array([p[1] for p in pairs], np.int32)
    order = np.argsort(first, kind="stable")
    sub = np.ascontiguousarray(X[:, np.concatenate([G1, G2])], dtype=np.float32)
    a = np.arange(len(G1), dtype=np.int32)
    b = np.arange(len(G1), len(G1) + len(G2), dtype=np.int32)
    with silenced_stdout():
        runs, scores, p = pipelines._score_pipeline_indexed(sub, first[order], second[order], a, b, "pearson",
                                                            "mean", "two-sided", PERMUTATIONS, 1)
        skipped = pipelines._score_pipeline_indexed(sub, first, second, a, b, "pearson", "mean", "two-sided",
                                                    PERMUTATIONS, 1)
    assert list(table["feature"]) == [0, 1, 2] == list(runs)
    np.testing.assert_array_equal(table["score"], scores.astype(np.float64))
    np.testing.assert_array_equal(table["p_permutation"],
                                  (np.rint(p.astype(np.float64) * PERMUTATIONS) + 1) / (PERMUTATIONS + 1))
    assert list(skipped[0]) != list(runs)  # what the sorting prevents


@pytest.mark.parametrize("aggregate, alternative", [("mean", "two-sided"), ("median", "less")])
def test_score_over_all_pairs_gives_the_native_numbers(aggregate, alternative):
    table = corrshift.score(FRAME, groupby=pd.Series(LABELS, index=SAMPLES), groups=("a", "b"),
                            aggregate=aggregate, alternative=alternative, center=False, **QUIET)
    sub = np.ascontiguousarray(X[:, np.concatenate([G1, G2])], dtype=np.float32)
    with silenced_stdout():
        scores, p = pipelines._score_pipeline_exhaustive(
            sub, np.arange(len(G1), dtype=np.int32), np.arange(len(G1), len(G1) + len(G2), dtype=np.int32),
            "pearson", aggregate, alternative, PERMUTATIONS, 2)
    assert list(table.columns) == ["feature", "score", "p_permutation", "q_permutation"]
    assert list(table["feature"]) == FEATURES
    np.testing.assert_array_equal(table["score"], scores.astype(np.float64))
    np.testing.assert_array_equal(table["q_permutation"],
                                  stats.false_discovery_control(table["p_permutation"], method="bh"))
    assert table.attrs["group1"] == "a" and table.attrs["aggregate"] == aggregate


def test_centring_recovers_the_digits_lost_to_a_large_mean():
    rng = np.random.default_rng(1)
    x = rng.normal(size=(8, 60))
    x[1] += x[0]
    x[2] -= 0.5 * x[0]
    x += 300.0  # mean large against the spread of 1
    g1, g2 = np.arange(30), np.arange(30, 60)
    reference = np.corrcoef(x[:, g1])[np.triu_indices(8, 1)]  # float64 numpy
    raw = corrshift.ztest(x, g1, g2, center=False, permutations=0, progress=False)
    centred = corrshift.ztest(x, g1, g2, permutations=0, progress=False)
    raw_error = np.max(np.abs(raw["r1"] - reference))
    centred_error = np.max(np.abs(centred["r1"] - reference))
    assert raw_error > 1e-3
    assert centred_error < 1e-6
    # Spearman data are not centred: ranks do not need it.
    s1 = corrshift.ztest(x, g1, g2, method="spearman", permutations=0, progress=False)
    s2 = corrshift.ztest(x, g1, g2, method="spearman", center=False, permutations=0, progress=False)
    pd.testing.assert_frame_equal(s1, s2)


@pytest.mark.parametrize("progress", [True, False])
def test_progress_line_shown_or_silenced(capfd, progress):
    corrshift.ztest(X, G1, G2, permutations=5, progress=progress)
    print("after")
    out = capfd.readouterr().out
    assert ("Permutation progress: " in out) is progress
    assert out.endswith("after\n")


def test_silenced_stdout_restores_descriptor_1_after_an_interrupt(capfd):
    with pytest.raises(KeyboardInterrupt):
        with silenced_stdout():
            os.write(1, b"hidden\n")
            raise KeyboardInterrupt
    os.write(1, b"visible\n")
    assert capfd.readouterr().out == "visible\n"


def test_results_do_not_depend_on_threads():
    one = corrshift.ztest(X, G1, G2, threads=1, **QUIET)
    default = corrshift.ztest(X, G1, G2, threads=None, **QUIET)
    pd.testing.assert_frame_equal(one, default)


def test_small_group_warns():
    with pytest.warns(UserWarning, match=r"group1 has 3 samples; z-tests need at least 4"):
        corrshift.ztest(X, G1[:3], G2, **QUIET)


NAN_X = X.copy()
NAN_X[3, G1[2]] = np.nan
NAN_X[5, G2[0]] = np.inf


@pytest.mark.parametrize("args, kwargs, message", [
    ((FRAME, ["s0", "nope", "zzz"], ["s1"]), {}, r"group1: 2 sample names not in the data: 'nope', 'zzz'"),
    ((FRAME, G1, G2), dict(pairs=[("f0", "gene9")]), r"pairs: 1 feature name not in the data: 'gene9'"),
    ((X, G1, G2), dict(pairs=[(0, 9)]), r"pairs: feature position 9 out of range; data has 6 features"),
    ((X, G1, np.append(G2, G1[0])), {}, r"group1 and group2 share 1 sample"),
    ((X, [], G2), {}, r"group1 is empty"),
    ((X, np.ones(5, bool), G2), {}, r"boolean mask of 5 entries but the data has 31 samples"),
    ((X, [0, 1, 2, 40], G2), {}, r"group1: sample position 40 out of range"),
    ((X, [0, 1, 2, 2], G2), {}, r"group1 lists samples more than once: 2"),
    ((NAN_X, G1, G2), {}, r"non-finite values \(NaN or infinity\) in 2 features among the analysed samples: 3, 5"),
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
