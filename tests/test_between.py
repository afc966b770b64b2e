"""Pairs between two sets of features: between=(A, B) and a second matrix other= of the same samples.

The rectangle A x B is the z-test of the listed pairs (a, b), A-major, over
the same matrix (the data, or the data's rows followed by other's), bit for
bit; in chunks, on Dask, with "auto" and from the command line alike.
"""

import importlib.util
import itertools
import types

import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift import native
from corrshift.adaptive_runs import score_auto, ztest_auto
from corrshift.api import prepare
from corrshift.cli import main
from corrshift.ranking import ranked

QUIET = dict(permutations=39, progress=False, threads=2)
NAMES = [f"f{i}" for i in range(10)]


def _frame(seed=4, n=36):
    """Ten named features; f1 follows f0 and f5 follows f2 in group a only; f8 is constant in group a."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(len(NAMES), n)) + 2.0
    labels = np.array(["a", "b"] * (n // 2))
    a = labels == "a"
    x[1, a] = x[0, a] + 0.3 * rng.normal(size=a.sum())
    x[5, a] = x[2, a] + 0.3 * rng.normal(size=a.sum())
    x[8, a] = 4.0
    frame = pd.DataFrame(x, index=NAMES, columns=[f"s{j}" for j in range(n)])
    return frame, pd.Series(labels, index=frame.columns)


FRAME, LABELS = _frame()
GROUPS = dict(groupby=LABELS, groups=("a", "b"))
STRATA = pd.Series(np.repeat(["x", "y", "z"], 12), index=FRAME.columns)
# f1 and f2 are in both sets; f8 (constant in group a) in B.
SET_A, SET_B = ["f3", "f1", "f0", "f2"], ["f2", "f5", "f1", "f8", "f6"]
OTHER = pd.DataFrame(np.random.default_rng(9).normal(size=(4, 36)), index=["p0", "p1", "p2", "p3"],
                     columns=FRAME.columns)
OTHER.loc["p1", LABELS.to_numpy() == "a"] = FRAME.loc["f0", LABELS.to_numpy() == "a"] * 2.0 + 1.0

pytestmark = pytest.mark.filterwarnings("ignore:1 feature is constant", "ignore:39 permutations are too few")


def _rectangle(a, b):
    return [(x, y) for x, y in itertools.product(a, b) if x != y]


def assert_same_rows(got: pd.DataFrame, want: pd.DataFrame, names=("feature_a", "feature_b")):
    """The same columns and rows: names as text, numbers bit for bit (NaN where NaN)."""
    assert list(got.columns) == list(want.columns)
    assert len(got) == len(want)
    for column in got.columns:
        if column in names or column in ("class", "side"):
            assert list(got[column].astype(str)) == list(want[column].astype(str)), column
        else:
            np.testing.assert_array_equal(got[column].to_numpy(), want[column].to_numpy(), err_msg=column)


def _ztest(data=FRAME, **options):
    return corrshift.ztest(data, **GROUPS, **QUIET, **options)


def _score(data=FRAME, **options):
    return corrshift.score(data, **GROUPS, **QUIET, **options)


# --- the rectangle is the listed pairs ----------------------------------------------------------


MASK_A = np.isin(NAMES, ["f0", "f3", "f7"])
MASK_B = np.isin(NAMES, ["f2", "f4", "f5", "f9"])


@pytest.mark.parametrize("between, listed", [
    ((["f3", "f0", "f7"], ["f5", "f2", "f9", "f4"]), (["f3", "f0", "f7"], ["f5", "f2", "f9", "f4"])),
    (([3, 0, 7], [5, 2, 9, 4]), (["f3", "f0", "f7"], ["f5", "f2", "f9", "f4"])),
    ((MASK_A, MASK_B), (["f0", "f3", "f7"], ["f2", "f4", "f5", "f9"])),
    ((list(MASK_A), pd.Series(MASK_B)), (["f0", "f3", "f7"], ["f2", "f4", "f5", "f9"])),
    ((SET_A, SET_B), (SET_A, SET_B)),  # overlap: no self pair, (f1, f2) and (f2, f1) both
], ids=["names", "positions", "masks", "mask-lists", "overlap"])
@pytest.mark.parametrize("options", [dict(), dict(method="spearman", alternative="less"), dict(strata=STRATA)],
                         ids=["pearson", "spearman", "strata"])
def test_between_is_the_ztest_of_the_listed_rectangle(between, listed, options):
    got = _ztest(between=between, **options)
    want = _ztest(pairs=_rectangle(*listed), **options)
    assert_same_rows(got, want)
    assert got.attrs["features_a"] == len(listed[0]) and got.attrs["features_b"] == len(listed[1])
    assert got.attrs["rows"] == len(want)


def test_a_feature_in_both_sets_is_not_paired_with_itself_and_shared_pairs_come_both_ways():
    got = _ztest(between=(SET_A, SET_B))
    pairs = list(zip(got.feature_a.astype(str), got.feature_b.astype(str)))
    assert pairs == _rectangle(SET_A, SET_B) and len(pairs) == 4 * 5 - 2
    both = got.set_index(["feature_a", "feature_b"])
    np.testing.assert_array_equal(both.loc[("f1", "f2")].to_numpy()[:2], both.loc[("f2", "f1")].to_numpy()[:2])


def _stacked(other=OTHER, names=None):
    """data's rows then other's, as one frame (other's names renamed where given)."""
    return pd.concat([FRAME, other.set_axis(names or list(other.index))])


SHUFFLED = np.random.default_rng(2).permutation(36)


def _anndata(frame):
    anndata = pytest.importorskip("anndata")
    cells = frame.T.iloc[SHUFFLED]
    return anndata.AnnData(cells.to_numpy(), obs=pd.DataFrame(index=cells.index), var=pd.DataFrame(index=frame.index))


@pytest.mark.parametrize("make_other, names", [
    (lambda: OTHER, OTHER.index),
    (lambda: OTHER.iloc[:, SHUFFLED], OTHER.index),  # matched by sample names
    (lambda: OTHER.to_numpy(), range(4)),  # matched by position
    (lambda: _anndata(OTHER), OTHER.index),  # cells in another order, matched by obs_names
], ids=["frame", "shuffled-frame", "array", "anndata"])
@pytest.mark.parametrize("options", [dict(), dict(method="spearman", strata=STRATA)], ids=["pearson", "spearman"])
def test_other_is_the_ztest_of_the_stacked_matrix(make_other, names, options):
    got = _ztest(other=make_other(), **options)
    renamed = [f"other {n}" for n in OTHER.index]
    want = _ztest(_stacked(OTHER, renamed), pairs=list(itertools.product(NAMES, renamed)), **options)
    assert list(got.feature_b.astype(str)) == [str(n) for _, n in itertools.product(NAMES, names)]
    assert_same_rows(got.drop(columns="feature_b"), want.drop(columns="feature_b"))


def test_other_with_between_and_colliding_names():
    # other names a feature f0 too: the columns say which side a name is from.
    other = OTHER.set_axis(["f0", "p1", "p2", "f3"])
    got = _ztest(other=other, between=(["f0", "f2"], ["f3", "f0", "p1"]))
    want = _ztest(_stacked(other, ["o0", "o1", "o2", "o3"]), pairs=list(itertools.product(["f0", "f2"],
                                                                                         ["o3", "o0", "o1"])))
    assert list(got.feature_b.astype(str)) == ["f3", "f0", "p1"] * 2
    assert_same_rows(got.drop(columns="feature_b"), want.drop(columns="feature_b"))
    assert len(got) == 6  # f0 of data and f0 of other are two features: their pair is tested


def test_min_cells_filters_both_sets():
    counts = FRAME.abs()
    counts.loc[["f3", "f6"], counts.columns[:30]] = 0.0  # observed in 3 samples of each group
    gone = {"f3", "f6"}
    with pytest.warns(corrshift.CorrshiftWarning, match="min_cells"):
        got = _ztest(counts, between=(SET_A, SET_B), min_cells=5)
    kept_a, kept_b = [f for f in SET_A if f not in gone], [f for f in SET_B if f not in gone]
    with pytest.warns(corrshift.CorrshiftWarning, match="min_cells"):
        want = _ztest(counts, pairs=_rectangle(kept_a, kept_b), min_cells=5)
    assert_same_rows(got, want)
    assert set(got.attrs["filtered"]) == gone


@pytest.mark.parametrize("options, message", [
    (dict(between=(["f0"], ["f1"]), pairs=[("f0", "f1")]), "do not go together"),
    (dict(other=OTHER, pairs=[("f0", "f1")]), "do not go together"),
    (dict(between=(["f0", "nope"], ["f1"])), "not in the data"),
    (dict(between=(["f0", "f2", "f0"], ["f1"])), "more than once"),
    (dict(between=(["f0"], [1, 2, 1])), "more than once"),
    (dict(between=(["f0"], [])), "holds no feature"),
    (dict(between=(MASK_A[:5], MASK_B)), "boolean mask of 5"),
    (dict(between=["f0", "f1", "f2"]), "two lists"),
    (dict(between="f0"), "two lists"),
    (dict(other=OTHER.iloc[:, 3:]), "lacks 3 of the analysed samples.*s0"),
    (dict(other=OTHER.to_numpy()[:, 1:]), "other has 35 samples and data 36"),
    (dict(other=OTHER, between=(["f0"], ["f1"])), "not in the data"),  # B names other's features
    (dict(other=types.SimpleNamespace(mod={"rna": None})), "other is a MuData: pass its modalities"),
    (dict(data=types.SimpleNamespace(mod={"rna": None}), other=OTHER), "data is a MuData: pass one modality"),
])
def test_unusable_sets_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        _ztest(**options)


def test_score_refuses_sets_and_key_added_with_between():
    with pytest.raises(ValueError, match="sets= do not go together"):
        _score(between=(["f0"], ["f1"]), sets={"s": ["f0", "f1"]})
    adata = _anndata(FRAME)
    with pytest.raises(ValueError, match="key_added"):
        corrshift.score(adata, np.arange(18), np.arange(18, 36), **QUIET, other=adata, key_added="x")


# --- chunks, top, max_p, out, Dask --------------------------------------------------------------


CHUNK_CASES = [
    (corrshift.ztest, dict(between=(SET_A, SET_B))),
    (corrshift.ztest, dict(other=OTHER, method="spearman")),
    (corrshift.score, dict(between=(SET_A, SET_B))),
    (corrshift.score, dict(other=OTHER, between=(SET_A, ["p3", "p1"]), aggregate="median", alternative="greater")),
]


def _run(test, **options):
    return test(FRAME, **GROUPS, **QUIET, **options)


@pytest.mark.parametrize("test, options", CHUNK_CASES)
@pytest.mark.parametrize("chunk_pairs", [1, 6, 1000])
def test_chunks_equal_one_call(test, options, chunk_pairs):
    whole = _run(test, **options)
    chunked = _run(test, chunk_pairs=chunk_pairs, **options)
    pd.testing.assert_frame_equal(chunked, whole)
    assert chunked.attrs == whole.attrs


@pytest.mark.parametrize("test, options", CHUNK_CASES)
def test_top_max_p_and_a_folder_equal_one_call(tmp_path, test, options):
    whole = _run(test, **options)
    unnormal = dict(columns=["q_normal"], errors="ignore")
    best = _run(test, top=4, chunk_pairs=5, **options)
    pd.testing.assert_frame_equal(best, ranked(whole).head(4).drop(**unnormal).reset_index(drop=True))
    cut = sorted(whole.p_permutation.dropna())[len(whole) // 3]
    kept = _run(test, max_p=cut, chunk_pairs=5, **options)
    want = whole[whole.p_permutation <= cut].drop(**unnormal).reset_index(drop=True)
    assert 0 < len(kept) < len(whole)
    pd.testing.assert_frame_equal(kept, want)
    assert _run(test, out=tmp_path / "rows", chunk_pairs=5, **options) is None
    assert len(list((tmp_path / "rows").glob("part-*.parquet"))) > 1
    written = pd.read_parquet(tmp_path / "rows")
    expected = whole.drop(columns=[c for c in whole.columns if c.startswith("q_")])
    assert_same_rows(written, expected)


@pytest.mark.skipif(importlib.util.find_spec("distributed") is None, reason="needs dask.distributed")
def test_dask_chunks_equal_one_call():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        for test, options in CHUNK_CASES[::3]:
            on_dask = _run(test, client=client, chunk_pairs=4, **options)
            pd.testing.assert_frame_equal(on_dask, _run(test, **options))


# --- scores ------------------------------------------------------------------------------------


@pytest.mark.parametrize("a, b, options", [
    (SET_A, SET_B, dict()),
    (["f0", "f8"], list(OTHER.index), dict(other=OTHER)),
], ids=["overlap", "other"])
def test_a_score_is_the_mean_of_its_rows_fisher_differences(a, b, options):
    options = dict(options, between=(a, b))
    scores = _score(**options)
    rows = _ztest(**options)
    assert list(scores.side.astype(str)) == ["a"] * len(a) + ["b"] * len(b)
    assert list(scores.feature.astype(str)) == [str(f) for f in a + b]
    for side, feature, score in zip(scores.side, scores.feature, scores.score):
        mine = rows[rows[f"feature_{side}"] == feature].z_diff.abs()
        expected = mine.mean() if mine.notna().any() else np.nan  # pairs with f8 (undefined) left out
        np.testing.assert_allclose(score, expected, rtol=1e-6, err_msg=f"{side} {feature}")
    assert np.isnan(scores.set_index(["side", "feature"]).score.loc[("b" if "f8" in b else "a", "f8")])


def test_side_scores_are_the_units_of_their_pairs():
    # Each side's score equals a gene-set score of its pairs with the other side (both come from one
    # dealing of the permutations): the same counts, so the same p-values.
    scores = _score(between=(SET_A, SET_B))
    for side, mine, others in (("a", SET_A, SET_B), ("b", SET_B, SET_A)):
        for feature in (f for f in mine if f != "f8"):  # f8 is undefined: no score, no pairs
            unit = _score(sets={"u": ([feature], [f for f in others if f not in (feature, "f8")])})
            row = scores[(scores.side == side) & (scores.feature == feature)].iloc[0]
            assert row.score == unit.score.iloc[0] and row.p_permutation == unit.p_permutation.iloc[0], feature


# --- permutations="auto" -----------------------------------------------------------------------


def _changed(k=16, n=48, seed=3):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(k, n))
    for a, b in ((0, 9), (2, 12), (5, 5 + 10)):
        x[b, :n // 2] = x[a, :n // 2] + 0.3 * rng.normal(size=n // 2)
    return x


@pytest.mark.parametrize("test", [corrshift.ztest, corrshift.score])
@pytest.mark.parametrize("chunk_pairs", [None, 7])
def test_auto_decides_as_a_fixed_run_of_the_most_permutations(test, chunk_pairs):
    x, between = _changed(), (list(range(8)), list(range(6, 16)))
    options = dict(between=between, progress=False, threads=2)
    auto = test(x, range(24), range(24, 48), permutations="auto", chunk_pairs=chunk_pairs, **options)
    fixed = test(x, range(24), range(24, 48), permutations=auto.attrs["max_permutations"], **options)
    decided = auto.q_permutation <= 0.05
    assert decided.sum() >= 2 and list(decided) == list(fixed.q_permutation <= 0.05)
    assert auto.cycles.median() < auto.attrs["max_permutations"] / 10
    assert_same_rows(auto.drop(columns=["p_permutation", "q_permutation", "cycles"]),
                     fixed.drop(columns=["p_permutation", "q_permutation"]))


@pytest.mark.parametrize("analysis, aggregate", [("ztest", None), ("score", "mean"), ("score", "median")])
def test_a_row_that_ran_c_cycles_has_the_counts_of_a_fixed_run_of_c(analysis, aggregate):
    x = _changed()
    x[7, :24] = 1.0  # in both sets, undefined in group 1: out of every score
    prep = prepare(x, np.arange(24), np.arange(24, 48), between=(list(range(10)), list(range(2, 16))))
    dealing = native.Dealing(None, 4)
    args = (prep.matrix, prep.group1, prep.group2, "pearson")
    if analysis == "ztest":
        columns = ztest_auto(prep, prep.rectangle(), "pearson", "two-sided", 2, False, dealing, 0.05, 2000)

        def fixed(c):
            return native.ztest(*args, "two-sided", c, 2, dealing=dealing, **prep.across)
    else:
        columns = score_auto(prep, None, "pearson", aggregate, "two-sided", 2, False, dealing, 0.05, 2000)

        def fixed(c):
            return native.score(*args, aggregate, "two-sided", c, 2, exclude=prep.undefined, dealing=dealing,
                                **prep.across)
    tested = ~np.isnan(columns["p_permutation"])
    cycles = columns["cycles"]
    assert len(np.unique(cycles[tested])) >= 3
    for c in np.unique(cycles[tested]):
        rows = tested & (cycles == c)
        counts = fixed(int(c))
        for name in ("extreme", "valid"):
            np.testing.assert_array_equal(columns[name][rows], counts[name][rows], err_msg=f"{name} at {c}")


# --- the command line --------------------------------------------------------------------------


@pytest.fixture
def files(tmp_path):
    FRAME.to_csv(tmp_path / "data.tsv", sep="\t")
    OTHER.to_csv(tmp_path / "other.tsv", sep="\t")
    LABELS.rename("group").to_frame().to_csv(tmp_path / "samples.tsv", sep="\t")
    (tmp_path / "A.txt").write_text("gene\n" + "\n".join(SET_A) + "\n")  # a header line is skipped
    (tmp_path / "B.txt").write_text("\n".join(SET_B) + "\n")
    (tmp_path / "P.txt").write_text("p3\np0\n")
    return tmp_path


def _command(files, test, *extra):
    return main([test, str(files / "data.tsv"), "--groups", str(files / "samples.tsv"), "--by", "group",
                 "--compare", "a", "b", "--permutations", str(QUIET["permutations"]), "--quiet", *map(str, extra)])


@pytest.mark.parametrize("test, extra, options", [
    ("ztest", ["--between", "A.txt", "B.txt"], dict(between=(SET_A, SET_B))),
    ("ztest", ["--other", "other.tsv"], dict(other=OTHER)),
    ("score", ["--other", "other.tsv", "--between", "A.txt", "P.txt"], dict(other=OTHER, between=(SET_A, ["p3", "p0"]))),
])
def test_command_line_runs_between_sets(files, capsys, test, extra, options):
    args = [files / e if e.endswith(".txt") or e.endswith(".tsv") else e for e in extra]
    assert _command(files, test, *args, "--out", files / "out.tsv") == 0
    written = pd.read_csv(files / "out.tsv", sep="\t", keep_default_na=False, na_values=[""])
    want = ranked(_run(getattr(corrshift, test), **options)).reset_index(drop=True)
    assert list(written.columns) == list(want.columns)
    for column in written.columns:
        if want[column].dtype.kind == "f":
            np.testing.assert_allclose(written[column], want[column], rtol=1e-6, err_msg=column)
        else:
            assert list(written[column].astype(str)) == list(want[column].astype(str)), column


def test_command_line_refuses_pairs_with_between(files, capsys):
    (files / "pairs.tsv").write_text("f0\tf1\n")
    assert _command(files, "ztest", "--between", files / "A.txt", files / "B.txt", "--pairs", files / "pairs.tsv") == 2
    assert "--pairs lists its own pairs" in capsys.readouterr().err


def test_command_line_plots_pairs_of_two_modalities(files):
    assert _command(files, "ztest", "--other", files / "other.tsv", "--out", files / "out.tsv",
                    "--plots", files / "plots") == 0
    drawn = sorted(p.name for p in (files / "plots").iterdir())
    pairs = [name for name in drawn if name.startswith("pair")]
    assert set(drawn) - set(pairs) == {"correlations.png", "heatmap.png", "volcano.png"} and len(pairs) == 3
    # Each pair plot draws a feature of DATA against one of OTHER.
    assert all(name.split("_")[1].startswith("f") and name.split("__")[1].startswith("p") for name in pairs)
