"""permutations=0: no permutation p-values (NaN), and every consumer falls back to the normal ones."""

import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.cli import main
from corrshift.ranking import ranked

QUIET = dict(permutations=0, progress=False)


@pytest.fixture(scope="module")
def frame():
    """Eight features of 40 samples; feature 1 follows feature 0 in the first group only."""
    rng = np.random.default_rng(3)
    x = rng.normal(size=(8, 40))
    x[1, :20] = x[0, :20] + 0.2 * rng.normal(size=20)
    x[3, :20] = x[2, :20] + 0.6 * rng.normal(size=20)
    return pd.DataFrame(x, index=[f"g{i}" for i in range(8)], columns=[f"s{j:02d}" for j in range(40)])


GROUPS = dict(group1=range(20), group2=range(20, 40))


@pytest.mark.parametrize("test, options", [
    (corrshift.ztest, {}),
    (corrshift.ztest, dict(chunk_pairs=5)),
    (corrshift.ztest, dict(pairs=[("g0", "g1"), ("g2", "g3")])),
    (corrshift.score, {}),
    (corrshift.score, dict(chunk_pairs=5)),
    (corrshift.score, dict(sets={"a": ["g0", "g1", "g2"], "b": ["g3", "g4"]})),
])
def test_permutation_columns_are_there_and_nan(frame, test, options):
    table = test(frame, **GROUPS, **QUIET, **options)
    for column in ("p_permutation", "q_permutation"):
        assert table[column].dtype == np.float64 and table[column].isna().all(), column
    if "q_normal" in table.columns:
        assert table["q_normal"].notna().all()


def _normal_order(table, statistic):
    keys = (table["p_normal"], -table[statistic].abs()) if "p_normal" in table.columns else (-table[statistic].abs(),)
    order = np.lexsort([np.asarray(k, dtype=np.float64) for k in keys[::-1]])
    return table.iloc[order]


@pytest.mark.parametrize("test, statistic", [(corrshift.ztest, "z_diff"), (corrshift.score, "score")])
def test_the_normal_p_value_ranks_the_rows(frame, test, statistic):
    table = test(frame, **GROUPS, **QUIET)
    expected = _normal_order(table, statistic)
    pd.testing.assert_frame_equal(ranked(table), expected)
    # top= keeps the same best rows, in the same order, also chunk by chunk.
    best = test(frame, **GROUPS, **QUIET, top=4, chunk_pairs=3)
    assert list(best.iloc[:, 0]) == list(expected.iloc[:4, 0])
    if statistic == "z_diff":
        assert list(best["feature_b"]) == list(expected["feature_b"][:4])


def test_rows_without_a_permutation_p_value_rank_after_those_with_one():
    # A row that no cycle counted (p NaN) does not jump the rows with p-values.
    table = pd.DataFrame({"feature_a": list("abcd"), "feature_b": list("efgh"),
                          "z_diff": np.array([0.5, 2.0, 1.0, np.nan], np.float32),
                          "p_normal": np.array([0.3, 0.001, 0.2, np.nan], np.float32),
                          "p_permutation": [0.5, np.nan, 0.1, np.nan]})
    assert list(ranked(table)["feature_a"]) == ["c", "a", "b", "d"]


@pytest.mark.parametrize("test", [corrshift.ztest, corrshift.score])
def test_max_p_without_permutations_is_refused(frame, test):
    with pytest.raises(ValueError, match="max_p= keeps the rows whose p_permutation.*permutations=0"):
        test(frame, **GROUPS, **QUIET, max_p=0.05)


def test_network_falls_back_to_q_normal(frame):
    pytest.importorskip("networkx")
    table = corrshift.ztest(frame, **GROUPS, **QUIET)
    graph, hubs = corrshift.network(table, max_q=0.05)
    significant = table[table["q_normal"] <= 0.05]
    assert graph.graph["q"] == "q_normal" and graph.number_of_edges() == len(significant) > 0
    assert set(hubs.index) == set(significant["feature_a"]) | set(significant["feature_b"])


def test_network_without_any_q_value_says_why(frame):
    pytest.importorskip("networkx")
    table = corrshift.ztest(frame, **GROUPS, **QUIET, top=5)
    with pytest.raises(ValueError, match="without permutations, q_permutation is NaN"):
        corrshift.network(table)


@pytest.fixture
def files(frame, tmp_path):
    frame.to_csv(tmp_path / "data.tsv", sep="\t")
    labels = pd.Series(["a"] * 20 + ["b"] * 20, index=frame.columns, name="group")
    labels.rename_axis("sample").to_frame().to_csv(tmp_path / "samples.tsv", sep="\t")
    return [str(tmp_path / "data.tsv"), "--groups", str(tmp_path / "samples.tsv"), "--by", "group",
            "--compare", "a", "b", "--permutations", "0"]


def test_command_line_network_and_order(frame, files, tmp_path, capsys):
    pytest.importorskip("networkx")
    out, edges = tmp_path / "pairs.tsv", tmp_path / "edges.tsv"
    assert main(["ztest", *files, "--out", str(out), "--network", str(edges)]) == 0
    said = capsys.readouterr().out
    written = pd.read_csv(out, sep="\t")
    assert written["p_permutation"].isna().all() and written["q_permutation"].isna().all()
    expected = _normal_order(corrshift.ztest(frame, **GROUPS, **QUIET), "z_diff")
    assert list(zip(written["feature_a"], written["feature_b"])) == list(zip(expected["feature_a"],
                                                                             expected["feature_b"]))
    n = int((expected["q_normal"] <= 0.05).sum())
    assert n > 0 and len(pd.read_csv(edges, sep="\t")) == n
    assert f"wrote the network of {n} significant pairs (q_normal <= 0.05) to {edges}" in said


def test_command_line_refuses_max_p_without_permutations(files, capsys):
    assert main(["ztest", *files, "--max-p", "0.1"]) == 2
    err = capsys.readouterr().err
    assert "--max-p keeps the rows whose p_permutation" in err and "--permutations 0" in err
