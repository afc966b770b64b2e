"""corrshift.ztest and corrshift.score in chunks: chunk_pairs, top, max_p, out."""

import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.ranking import ranked

from terminal_screen import render

PERMUTATIONS = 9  # few permutations: ties in p_permutation that the ranking must break
QUIET = dict(permutations=PERMUTATIONS, progress=False)


def _frame(k=14, n=30, seed=5):
    """k named features over n samples; f0/f1 correlated in group a only, f4 constant in group a."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(k, n)) + 3.0
    labels = np.array(["a", "b", "c"] * (n // 3))
    a = labels == "a"
    x[1, a] = x[0, a] + 0.2 * rng.normal(size=a.sum())
    x[4, a] = 7.0
    frame = pd.DataFrame(x, index=[f"f{i}" for i in range(k)], columns=[f"s{j}" for j in range(n)])
    return frame, pd.Series(labels, index=frame.columns)


FRAME, LABELS = _frame()
GROUPS = dict(groupby=LABELS, groups=("a", "b"))
GIVEN = [("f3", "f0"), ("f0", "f1"), ("f9", "f2"), ("f0", "f5"), ("f4", "f6"), ("f3", "f1"), ("f0", "f1")]


# f4 makes every analysis warn; the warning itself is tested with the API.
pytestmark = pytest.mark.filterwarnings("ignore:1 feature is constant within 'a'")


def _full(test, **options):
    return test(FRAME, **GROUPS, **QUIET, **options)


@pytest.mark.parametrize("test,options", [
    (corrshift.ztest, dict()),
    (corrshift.ztest, dict(method="spearman", alternative="less")),
    (corrshift.ztest, dict(pairs=GIVEN)),
    (corrshift.score, dict()),
    (corrshift.score, dict(method="spearman", aggregate="median", alternative="greater")),
    (corrshift.score, dict(pairs=GIVEN)),
])
@pytest.mark.parametrize("chunk_pairs", [1, 10])
def test_chunked_tables_equal_the_single_call(test, options, chunk_pairs):
    chunked = _full(test, chunk_pairs=chunk_pairs, **options)
    whole = _full(test, **options)
    pd.testing.assert_frame_equal(chunked, whole)
    assert chunked.attrs == whole.attrs


@pytest.mark.parametrize("test,options,top", [
    (corrshift.ztest, dict(), 1),
    (corrshift.ztest, dict(alternative="greater"), 30),
    (corrshift.ztest, dict(pairs=GIVEN), 100),  # more than the pairs: untested rows last
    (corrshift.score, dict(), 5),
])
def test_top_rows_are_the_head_of_the_ranked_table(test, options, top):
    best = _full(test, top=top, chunk_pairs=7, **options)
    full = _full(test, **options)
    expected = ranked(full).head(top).drop(columns=["q_normal"], errors="ignore").reset_index(drop=True)
    pd.testing.assert_frame_equal(best, expected)
    assert best.attrs["rows"] == len(full) and best.attrs["top"] == top


@pytest.mark.parametrize("test,options", [(corrshift.ztest, dict()), (corrshift.score, dict(pairs=GIVEN))])
def test_max_p_keeps_the_rows_at_or_under_it_with_q_values_over_all_rows(test, options):
    full = _full(test, **options)
    cut = sorted(full["p_permutation"].dropna())[len(full) // 3]
    kept = _full(test, max_p=cut, **options)
    expected = full[full["p_permutation"] <= cut].drop(columns=["q_normal"], errors="ignore")
    assert 0 < len(kept) < full["p_permutation"].notna().sum()
    pd.testing.assert_frame_equal(kept, expected.reset_index(drop=True))


@pytest.mark.parametrize("test,options", [
    (corrshift.ztest, dict()),
    (corrshift.ztest, dict(max_p=0.5)),
    (corrshift.score, dict(pairs=GIVEN)),
])
def test_out_writes_the_table_as_a_parquet_dataset(tmp_path, test, options):
    folder = tmp_path / "results"
    assert _full(test, out=folder, chunk_pairs=6, **options) is None
    assert len(list(folder.glob("part-*.parquet"))) > 1
    written = pd.read_parquet(folder)
    full = _full(test, **{k: v for k, v in options.items() if k != "max_p"})
    if "max_p" in options:
        full = full[full["p_permutation"] <= options["max_p"]]
    expected = full.drop(columns=[c for c in full.columns if c.startswith("q_")]).reset_index(drop=True)
    # The files hold the names as strings; the table as a Categorical of them.
    names = expected.select_dtypes("category").columns
    pd.testing.assert_frame_equal(written, expected.astype({c: written[c].dtype for c in names}))


def _read_file(path, kind):
    if kind == "parquet":
        return pd.read_parquet(path)
    return pd.read_csv(path, sep="," if kind == "csv" else "\t", keep_default_na=False, na_values=[""])


# out= follows the command line's --out: a table extension is a file of that format, any other name a folder.
@pytest.mark.parametrize("name, kind", [
    ("pairs.csv", "csv"), ("pairs.tsv", "tsv"), ("pairs.TSV", "tsv"), ("pairs.txt", "tsv"), ("pairs.tsv.gz", "tsv"),
    ("pairs.parquet", "parquet"), ("pairs", "folder"), ("pairs/", "folder"), ("made.csv", "folder"),
])
@pytest.mark.parametrize("test", [corrshift.ztest, corrshift.score])
def test_out_is_a_file_or_a_folder_by_its_name(tmp_path, name, kind, test):
    if name == "made.csv":
        (tmp_path / name).mkdir()  # an existing (empty) folder stays a folder, whatever its name
    out = str(tmp_path / name)
    assert _full(test, out=out) is None
    full = _full(test)
    written = tmp_path / name.rstrip("/")
    assert written.is_dir() == (kind == "folder")
    assert not list(tmp_path.glob(".partial-*"))  # nothing left under a temporary name
    if kind == "folder":
        assert pd.read_parquet(written).shape == (len(full), len(full.columns) - full.columns.str.startswith("q_").sum())
        return
    got, expected = _read_file(written, kind), ranked(full).reset_index(drop=True)
    if name.endswith(".gz"):
        assert written.read_bytes()[:2] == b"\x1f\x8b"  # gzip, from the name
    assert list(got.columns) == list(expected.columns)  # q-values included
    names = expected.select_dtypes("category").columns
    pd.testing.assert_frame_equal(got, expected.astype({c: "object" for c in names}).astype(got.dtypes.to_dict()),
                                  check_dtype=False, atol=1e-6)


@pytest.mark.parametrize("out, message", [
    ("pairs.xlsx", "cannot write results to .*pairs.xlsx.*or a name without extension"),
    ("pairs.h5ad", "cannot write results to"),
])
def test_out_of_an_unknown_kind_is_refused_before_the_analysis(tmp_path, monkeypatch, out, message):
    monkeypatch.setattr(corrshift.api, "prepare", None)  # never reached
    with pytest.raises(ValueError, match=message):
        corrshift.ztest(FRAME, **GROUPS, **QUIET, out=tmp_path / out)


def test_a_file_out_goes_with_top_and_sets(tmp_path):
    assert _full(corrshift.ztest, out=tmp_path / "best.tsv", top=3) is None
    best = pd.read_csv(tmp_path / "best.tsv", sep="\t")
    expected = _full(corrshift.ztest, top=3)
    assert list(best["feature_b"]) == list(expected["feature_b"]) and "q_normal" not in best.columns
    sets = {"s": ["f0", "f1", "f2"], "t": ["f3", "f5"]}
    assert _full(corrshift.score, out=tmp_path / "sets.csv", sets=sets) is None
    assert list(pd.read_csv(tmp_path / "sets.csv")["set"]) == list(ranked(_full(corrshift.score, sets=sets))["set"])


def test_out_with_every_chunk_empty_still_has_typed_columns(tmp_path):
    corrshift.ztest(FRAME, **GROUPS, **QUIET, out=tmp_path / "none", max_p=0.0, chunk_pairs=20)
    written = pd.read_parquet(tmp_path / "none")
    assert len(written) == 0 and list(written.columns)[:3] == ["feature_a", "feature_b", "r1"]
    assert pd.api.types.is_string_dtype(written["feature_a"]) and written["r1"].dtype == np.float32


def test_one_progress_bar_for_a_chunked_run(capfd):
    corrshift.ztest(FRAME, **GROUPS, permutations=3, chunk_pairs=40, progress=True)
    out, err = capfd.readouterr()
    lines = render(err)  # the chunks' native calls draw no bar of their own
    assert out == "" and "Permutations" not in err and lines[-1] == ""
    assert [line for line in lines if "Chunks" in line] == [lines[-2]]
    assert lines[-2].startswith("Chunks: 100%") and "3/3" in lines[-2]


@pytest.mark.parametrize("options,error,message", [
    (dict(chunk_pairs=0), ValueError, "chunk_pairs must be between 1 and 2147483647; got 0"),
    (dict(top=0), ValueError, "top must be between 1"),
    (dict(top=2.5), ValueError, "top must be a whole number"),
    (dict(max_p=1.5), ValueError, "max_p must be a number between 0 and 1; got 1.5"),
    (dict(max_p="0.1"), ValueError, "max_p must be a number between 0 and 1; got '0.1'"),
    (dict(top=3, out="x"), ValueError, "top= and out= do not go together"),
])
def test_bad_chunk_options(options, error, message):
    with pytest.raises(error, match=message):
        corrshift.ztest(FRAME, **GROUPS, **QUIET, **options)


def test_out_refuses_a_folder_that_holds_files(tmp_path):
    (tmp_path / "old.txt").write_text("keep me")
    with pytest.raises(FileExistsError, match="not an empty folder"):
        corrshift.score(FRAME, **GROUPS, **QUIET, out=tmp_path)
