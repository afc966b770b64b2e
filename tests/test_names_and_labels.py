"""Samples and features found by name: label Series, integer names, AnnData's .raw."""

import re
import warnings

import anndata
import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.cli import main

QUIET = dict(permutations=0, progress=False)


def _frame(seed=4):
    """Five features over 24 samples in three groups; f0 and f1 are correlated in group a only."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(5, 24))
    labels = np.array(["a", "b", "c"] * 8)
    a = labels == "a"
    x[1, a] = x[0, a] + 0.1 * rng.normal(size=a.sum())
    frame = pd.DataFrame(x, index=[f"f{i}" for i in range(5)], columns=[f"s{j:02d}" for j in range(24)])
    return frame, pd.Series(labels, index=frame.columns, name="group")


FRAME, LABELS = _frame()


def test_label_rows_in_another_order_are_matched_by_sample_name():
    # An annotation table read from a file, rows in another order than the data's columns.
    annotation = LABELS.rename_axis("sample").reset_index().sample(frac=1, random_state=2)
    shuffled = annotation.set_index("sample")["group"]
    assert list(shuffled.index) != list(FRAME.columns)
    table = corrshift.ztest(FRAME, groupby=shuffled, groups=("a", "b"), **QUIET)
    pair = table[(table["feature_a"] == "f0") & (table["feature_b"] == "f1")].iloc[0]
    in_a = FRAME.loc[["f0", "f1"], LABELS.index[LABELS == "a"]].to_numpy()
    in_b = FRAME.loc[["f0", "f1"], LABELS.index[LABELS == "b"]].to_numpy()
    assert pair["r1"] == pytest.approx(np.corrcoef(in_a)[0, 1], abs=1e-6)
    assert pair["r2"] == pytest.approx(np.corrcoef(in_b)[0, 1], abs=1e-6)
    assert pair["r1"] > 0.9


@pytest.mark.parametrize("labels, message", [
    (LABELS.reset_index(drop=True), r"default index \(0, 1, 2, \.\.\.\) but the data's samples have names "
                                    r"\('s00'.*labels\.to_numpy\(\)"),
    (LABELS.set_axis([f"x{j}" for j in range(24)]), r"groupby's index \('x0'.*shares no name with the data's "
                                                    r"samples \('s00'.*index the labels by sample name"),
])
def test_label_series_that_cannot_be_matched_by_name(labels, message):
    with pytest.raises(ValueError, match=message):
        corrshift.ztest(FRAME, groupby=labels, groups=("a", "b"), **QUIET)


def test_labels_in_sample_order_are_still_taken_by_position():
    by_name = corrshift.ztest(FRAME, groupby=LABELS, groups=("a", "b"), **QUIET)
    for labels in (LABELS.to_list(), LABELS.to_numpy()):
        pd.testing.assert_frame_equal(corrshift.ztest(FRAME, groupby=labels, groups=("a", "b"), **QUIET), by_name)
    # Unnamed samples (a numpy array): a RangeIndex names the positions.
    unnamed = corrshift.ztest(FRAME.to_numpy(), groupby=LABELS.reset_index(drop=True), groups=("a", "b"), **QUIET)
    np.testing.assert_array_equal(unnamed["z_diff"], by_name["z_diff"])


INTEGER_FRAME = FRAME.set_axis([101, 102, 103, 104, 105]).set_axis(range(1000, 1024), axis=1)
INTEGER_LABELS = LABELS.set_axis(INTEGER_FRAME.columns)


BY_LABEL = dict(groupby=LABELS, groups=("a", "b"))


@pytest.mark.parametrize("test, by_integer, by_name", [
    (corrshift.ztest, dict(pairs=[(101, 103), (105, 102)], groupby=INTEGER_LABELS, groups=("a", "b")),
     dict(pairs=[("f0", "f2"), ("f4", "f1")], **BY_LABEL)),
    (corrshift.score, dict(pairs=[(105, 102), (101, 103)], groupby=INTEGER_LABELS, groups=("a", "b")),
     dict(pairs=[("f4", "f1"), ("f0", "f2")], **BY_LABEL)),
    (corrshift.ztest, dict(group1=list(range(1000, 1024, 3)), group2=list(range(1001, 1024, 3))),
     dict(group1=list(FRAME.columns[0::3]), group2=list(FRAME.columns[1::3]))),
])
def test_integers_are_names_where_the_names_are_integers(test, by_integer, by_name):
    table = test(INTEGER_FRAME, **by_integer, **QUIET)
    expected = test(FRAME, **by_name, **QUIET)
    rename = dict(zip(FRAME.index, INTEGER_FRAME.index))
    names = [c for c in expected.columns if c.startswith("feature")]
    as_objects = {c: object for c in names}  # the name columns are Categoricals of different names
    pd.testing.assert_frame_equal(table.astype(as_objects),
                                  expected.astype(as_objects).replace({c: rename for c in names}), check_dtype=False)


@pytest.mark.parametrize("options, message", [
    (dict(pairs=[(0, 2)], groupby=INTEGER_LABELS, groups=("a", "b")),
     r"pairs: 1 feature name not in the data: 0; the data's features include 101, .*integers are read as "
     r"names, not positions \(to give positions, pass data\.index\[positions\]\)"),
    (dict(group1=[0, 3], group2=[1000, 1001]), r"group1: 2 sample names not in the data: 0, 3.*data\.columns"),
])
def test_an_integer_that_is_no_name_is_not_taken_for_a_position(options, message):
    with pytest.raises(ValueError, match=message):
        corrshift.ztest(INTEGER_FRAME, **options, **QUIET)


def test_anndata_raw_uses_its_own_genes():
    cells = FRAME.T
    adata = anndata.AnnData(cells.iloc[:, :3].to_numpy(), obs=pd.DataFrame({"group": LABELS}),
                            var=pd.DataFrame(index=FRAME.index[:3]))
    adata.raw = anndata.AnnData(cells.to_numpy(), obs=adata.obs, var=pd.DataFrame(index=FRAME.index))
    table = corrshift.ztest(adata.raw, groupby="group", groups=("a", "b"), **QUIET)
    expected = corrshift.ztest(FRAME, groupby=LABELS, groups=("a", "b"), **QUIET)
    pd.testing.assert_frame_equal(table, expected)
    with pytest.raises(ValueError, match=r"layer='counts' names a layer of an AnnData, but data is an AnnData's "
                                         r"\.raw, which has none"):
        corrshift.ztest(adata.raw, groupby="group", groups=("a", "b"), layer="counts", **QUIET)


@pytest.mark.parametrize("labels, warned", [
    (LABELS.iloc[:18], r"groupby does not list 6 of the data's 24 samples, which are therefore in neither group: "
                       r"'s18', 's19', 's20', 's21', 's22', \.\.\. \(6 in all\)$"),
    (LABELS.iloc[1:].set_axis([*LABELS.index[1:20], "S20", "S21", "S22", "S23"]),
     r"does not list 5 of the data's 24 samples.*'s00', 's20'.*; 4 names it lists are no sample of the data "
     r"\('S20', 'S21', 'S22', \.\.\. \(4 in all\)\): are the names written the same way\?"),
    (LABELS.iloc[::-1], None),  # every sample listed, in another order
    (LABELS.where(LABELS != "c"), None),  # listed without a label (NaN): left out on purpose
    (pd.concat([LABELS, pd.Series(["a"], index=["elsewhere"])]), None),  # more samples than the data: fine
])
def test_samples_the_labels_leave_out_are_named(labels, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        corrshift.ztest(FRAME, groupby=labels, groups=("a", "b"), **QUIET)
    said = [str(w.message) for w in caught if issubclass(w.category, corrshift.CorrshiftWarning)]
    if warned is None:
        assert said == []
    else:
        assert len(said) == 1 and re.search(warned, said[0]), said


def test_command_line_names_the_samples_its_annotation_misses(tmp_path, capsys):
    # Samples 000 to 023, of which the annotation lists 010 on as 10 to 23: their leading zeros lost.
    data = FRAME.set_axis([f"{j:03d}" for j in range(24)], axis=1)
    data.to_csv(tmp_path / "data.tsv", sep="\t")
    annotation = LABELS.set_axis([f"{j:03d}" if j < 10 else str(j) for j in range(24)]).rename_axis("sample")
    annotation.to_frame().to_csv(tmp_path / "samples.tsv", sep="\t")
    status = main(["ztest", str(tmp_path / "data.tsv"), "--groups", str(tmp_path / "samples.tsv"), "--by", "group",
                   "--compare", "a", "b", "--permutations", "0"])
    out, err = capsys.readouterr()
    assert status == 0, err
    lines = err.splitlines()
    assert lines[0].startswith(f"corrshift ztest: warning: --groups {str(tmp_path / 'samples.tsv')!r} does not list "
                               "14 of the data's 24 samples, which are therefore in neither group: '010', '011'")
    assert "14 names it lists are no sample of the data ('10', '11', '12', ... (14 in all))" in lines[0]
    # Of the ten samples left, a and b have 4 and 3.
    assert lines[-1] == "corrshift ztest: analysed 4 + 3 samples (a + b)"
