"""What corrshift adds to the two tests: pair classes, gene-set scores,
networks of the significant pairs and results kept in an AnnData."""

import anndata
import networkx as nx
import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.anndata_io import load_result
from corrshift.classes import change_classes
from corrshift.cli import main

QUIET = dict(progress=False)


@pytest.fixture(scope="module")
def study():
    """Eight features of 60 samples in two groups; features 0-2 correlate in group a only."""
    rng = np.random.default_rng(11)
    x = rng.normal(size=(8, 60))
    a = np.arange(60) < 30
    x[1, a] = x[0, a] + 0.3 * rng.normal(size=30)
    x[2, a] = x[0, a] + 0.3 * rng.normal(size=30)
    frame = pd.DataFrame(x, index=[f"g{i}" for i in range(8)], columns=[f"s{j}" for j in range(60)])
    labels = pd.Series(np.where(a, "a", "b"), index=frame.columns)
    return frame, labels


def test_class_column_follows_each_groups_test(study):
    frame, labels = study
    table = corrshift.ztest(frame, groupby=labels, groups=("a", "b"), permutations=99, class_alpha=0.01, **QUIET)
    expected = change_classes(table["r1"], table["r2"], 30, 30, 0.01)
    np.testing.assert_array_equal(table["class"], expected)
    assert table.set_index(["feature_a", "feature_b"]).loc[("g0", "g2"), "class"] == "+/0"
    assert table.attrs["class_alpha"] == 0.01
    with pytest.raises(ValueError, match="class_alpha must be a number between 0 and 1"):
        corrshift.ztest(frame, groupby=labels, groups=("a", "b"), class_alpha=2, **QUIET)


def test_set_scores_aggregate_the_pairs_inside_each_set(study):
    """A set's score is the mean (median) |z_diff| over its pairs, and a
    unit between two sets over the pairs joining them."""
    frame, labels = study
    groups = dict(groupby=labels, groups=("a", "b"), permutations=199, **QUIET)
    # The float64 model: |atanh r1 - atanh r2| of each pair, from numpy's correlations.
    r = [np.corrcoef(frame.loc[:, labels == g].to_numpy()) for g in ("a", "b")]
    z = np.abs(np.arctanh(r[0]) - np.arctanh(r[1]))
    where = {name: i for i, name in enumerate(frame.index)}
    pairs = pd.Series({(a, b): z[where[a], where[b]] for a in frame.index for b in frame.index if a < b})
    sets = {"module": ["g0", "g1", "g2"], "rest": ["g3", "g4", "g5", "g6"], "across": (["g0", "g1"], ["g6", "g7"])}
    members = {"module": [("g0", "g1"), ("g0", "g2"), ("g1", "g2")],
               "rest": [(f"g{i}", f"g{j}") for i in range(3, 7) for j in range(i + 1, 7)],
               "across": [("g0", "g6"), ("g0", "g7"), ("g1", "g6"), ("g1", "g7")]}
    for aggregate, reduce in (("mean", np.mean), ("median", lambda v: np.sort(v)[len(v) // 2])):
        table = corrshift.score(frame, sets=sets, aggregate=aggregate, **groups).set_index("set")
        for name, pairs_of in members.items():
            assert table.loc[name, "pairs"] == len(pairs_of)
            assert table.loc[name, "score"] == pytest.approx(reduce(pairs.loc[pairs_of].to_numpy()), rel=1e-4)
        assert table.loc["module", "p_permutation"] < 0.05 < table.loc["rest", "p_permutation"]
    with pytest.raises(ValueError, match="sets= scores the pairs inside each set"):
        corrshift.score(frame, sets=sets, top=2, **groups)


def test_network_and_command_line_files(study, tmp_path, capsys):
    frame, labels = study
    frame.to_csv(tmp_path / "data.tsv", sep="\t")
    labels.rename("kind").to_frame().to_csv(tmp_path / "samples.tsv", sep="\t")
    pd.DataFrame({"set": ["module"] * 3 + ["rest"] * 3,
                  "feature": ["g0", "g1", "g2", "g3", "g4", "g5"]}).to_csv(tmp_path / "sets.tsv", sep="\t",
                                                                          index=False)
    common = ["--groups", tmp_path / "samples.tsv", "--by", "kind", "--compare", "a", "b", "--permutations", "199"]
    status = main([str(a) for a in ["ztest", tmp_path / "data.tsv", *common, "--out", tmp_path / "pairs.tsv",
                                    "--network", tmp_path / "net.graphml", "--network-q", "0.2"]])
    assert status == 0, capsys.readouterr().err
    table = pd.read_csv(tmp_path / "pairs.tsv", sep="\t")
    significant = table[table["q_permutation"] <= 0.2]
    graph = nx.read_graphml(tmp_path / "net.graphml")
    assert {frozenset(e) for e in graph.edges} == {frozenset(p) for p in zip(significant.feature_a,
                                                                             significant.feature_b)}
    assert "class" in table.columns
    status = main([str(a) for a in ["score", tmp_path / "data.tsv", *common, "--sets", tmp_path / "sets.tsv",
                                    "--out", tmp_path / "sets_out.tsv"]])
    assert status == 0, capsys.readouterr().err
    assert list(pd.read_csv(tmp_path / "sets_out.tsv", sep="\t")["set"].sort_values()) == ["module", "rest"]
    status = main([str(a) for a in ["ztest", tmp_path / "data.tsv", *common, "--network", tmp_path / "net.png"]])
    assert status == 2 and "use a name ending in .graphml" in capsys.readouterr().err


def test_results_kept_in_the_anndata(study, tmp_path):
    frame, labels = study
    adata = anndata.AnnData(frame.T.to_numpy(), obs=pd.DataFrame({"kind": labels}), var=pd.DataFrame(index=frame.index))
    groups = dict(groupby="kind", groups=("a", "b"), permutations=99, **QUIET)
    pairs = corrshift.ztest(adata, key_added="dc_pairs", **groups)
    scores = corrshift.score(adata, key_added="dc", **groups)
    adata.write_h5ad(tmp_path / "study.h5ad")
    back = anndata.read_h5ad(tmp_path / "study.h5ad")
    pd.testing.assert_frame_equal(load_result(back, "dc_pairs").reset_index(drop=True),
                                  pairs.reset_index(drop=True), check_dtype=False)
    np.testing.assert_array_equal(back.var["dc_score"], scores["score"])
    assert back.uns["dc"]["params"]["method"] == "pearson"
    with pytest.raises(ValueError, match="key_added= stores the result in an AnnData"):
        corrshift.ztest(frame, groupby=labels, groups=("a", "b"), key_added="x", **QUIET)
