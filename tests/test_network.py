"""corrshift.network: the graph of the significant pairs, its hubs and its files."""

import sys

import networkx as nx
import numpy as np
import pandas as pd
import pytest

from corrshift.classes import stronger_in
from corrshift.network import hub_table, network, write_network


@pytest.fixture
def table():
    t = pd.DataFrame({
        "feature_a": ["a", "a", "b", "a", "d", "a"],
        "feature_b": ["b", "c", "c", "d", "e", "e"],
        "r1": [0.9, 0.1, 0.5, 0.2, np.nan, 0.7],
        "r2": [0.1, -0.8, -0.5, 0.3, 0.4, 0.2],
        "z_diff": [1.37, 1.20, 1.10, -0.11, np.nan, 0.66],
        "q_normal": [0.2, 0.01, 0.5, 0.03, np.nan, 0.04],
        "q_permutation": [0.01, 0.05, 0.04, 0.3, np.nan, 0.02],
        "class": ["+/0", "0/-", "+/-", "0/0", "NA/0", "+/0"],
    })
    t.attrs = {"group1": "tumour", "group2": "normal"}
    return t


def _without_permutations(table):
    """A table as a run with permutations=0 gives it (its attrs say so)."""
    table.attrs = {**table.attrs, "permutations": 0}
    return table


def edges(graph):
    return {frozenset((a, b)): d for a, b, d in graph.edges(data=True)}


@pytest.mark.parametrize("change, q, expected", [
    (lambda t: t, "q_permutation", {"ab", "ac", "bc", "ae"}),  # q = max_q is significant, NaN never
    (lambda t: t.drop(columns="q_permutation"), "q_normal", {"ac", "ad", "ae"}),
    (lambda t: t.assign(q_permutation=np.nan), "q_normal", {"ac", "ad", "ae"}),  # permutations=0
    (lambda t: _without_permutations(t.assign(q_permutation=1.0)), "q_normal", {"ac", "ad", "ae"}),
])
def test_edges_are_the_rows_under_the_threshold(table, change, q, expected):
    graph, _ = network(change(table), max_q=0.05)
    found = edges(graph)
    assert set(found) == {frozenset(e) for e in expected}
    assert graph.graph == {"q": q, "max_q": 0.05, "group1": "tumour", "group2": "normal"}
    for row in table.to_dict("records"):
        key = frozenset((row["feature_a"], row["feature_b"]))
        if key in found:
            assert found[key] == {"r1": row["r1"], "r2": row["r2"], "z_diff": row["z_diff"], "q": row[q],
                                  "class": row["class"]}


def test_hubs_count_pairs_stronger_in_each_group(table):
    graph, hubs = network(table)
    # stronger_in_group1: |r1| > |r2|; stronger_in_group2: |r1| < |r2|; b-c (0.5 / -0.5) is neither.
    expected = pd.DataFrame({"pairs": [3, 2, 2, 1], "stronger_in_group1": [2, 1, 0, 1],
                             "stronger_in_group2": [1, 0, 1, 0]},
                            index=pd.Index(["a", "b", "c", "e"], name="feature"))
    pd.testing.assert_frame_equal(hubs, expected)
    assert hubs.attrs == {"group1": "tumour", "group2": "normal"}
    assert dict(graph.degree) == hubs["pairs"].to_dict()
    assert graph.nodes["a"] == {"pairs": 3, "stronger_in_group1": 2, "stronger_in_group2": 1}


# (r1, r2, the group in which the correlation is stronger: 1, 2 or 0 for neither), by the
# strength |r| whatever the sign, so not by the sign of z_diff.
STRENGTH_CASES = [
    (0.9, 0.1, 1), (0.1, 0.9, 2),
    (-0.82, -0.17, 1),  # z_diff < 0, yet stronger in group 1
    (-0.17, -0.82, 2),  # z_diff > 0, yet stronger in group 2
    (0.1, -0.6, 2), (-0.6, 0.1, 1),  # across zero
    (0.7, -0.4, 1), (-0.4, 0.7, 2),  # sign flips
    (0.5, -0.5, 0), (-0.3, -0.3, 0),  # equally strong
    (np.nan, 0.3, 0), (0.3, np.nan, 0),  # undefined
]


@pytest.mark.parametrize("r1, r2, expected", STRENGTH_CASES)
def test_stronger_in_reads_the_strength_not_the_sign(r1, r2, expected):
    assert stronger_in([r1], [r2]).tolist() == [expected]


def test_hub_counts_follow_the_strength_of_each_pair():
    # A star: every case is a pair of the hub "h" with a feature of its own.
    r1, r2, expected = (np.array(column, dtype=float) for column in zip(*STRENGTH_CASES))
    rows = pd.DataFrame({"feature_a": "h", "feature_b": [f"f{i}" for i in range(len(r1))], "r1": r1, "r2": r2})
    hubs = hub_table(rows)
    assert hubs.loc["h"].to_dict() == {"pairs": len(r1), "stronger_in_group1": (expected == 1).sum(),
                                       "stronger_in_group2": (expected == 2).sum()}
    for i, which in enumerate(expected):
        assert hubs.loc[f"f{i}", "stronger_in_group1"] == (which == 1)
        assert hubs.loc[f"f{i}", "stronger_in_group2"] == (which == 2)


def test_a_pair_listed_both_ways_is_one_edge(table):
    twice = pd.concat([table, table.iloc[[0]].rename(columns={"feature_a": "feature_b", "feature_b": "feature_a"})])
    graph, hubs = network(twice)
    assert graph.number_of_edges() == 4 and hubs.loc["a", "pairs"] == 3


def test_no_class_column_no_class_attribute(table):
    graph, _ = network(table.drop(columns="class"))
    assert all("class" not in d for *_, d in graph.edges(data=True))


@pytest.mark.parametrize("name", ["net.graphml", "net.tsv", "net.csv"])
def test_files_read_back(table, tmp_path, name):
    graph, _ = network(table)
    path = tmp_path / "out" / name
    write_network(graph, path)
    if name.endswith(".graphml"):
        back = nx.read_graphml(path)
        assert {k: back.graph[k] for k in graph.graph} == graph.graph
        assert dict(back.nodes(data=True)) == dict(graph.nodes(data=True))
        assert edges(back) == edges(graph)
    else:
        back = pd.read_csv(path, sep="\t" if name.endswith(".tsv") else ",", keep_default_na=False)
        assert list(back.columns) == ["source", "target", "r1", "r2", "z_diff", "q", "class"]
        assert {frozenset((row.pop("source"), row.pop("target"))): row
                for row in back.to_dict("records")} == edges(graph)
    assert [p.name for p in path.parent.iterdir()] == [name]  # no temporary file left


def test_a_failed_write_leaves_the_earlier_file(table, tmp_path):
    graph, _ = network(table)
    path = tmp_path / "net.graphml"
    write_network(graph, path)
    before = path.read_bytes()
    graph.edges["a", "b"]["bad"] = object()  # GraphML cannot write this
    with pytest.raises(Exception):
        write_network(graph, path)
    assert path.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["net.graphml"]


@pytest.mark.parametrize("call, message", [
    (lambda t, tmp: write_network(network(t)[0], tmp / "net.gml"), "use a name ending in .graphml, .tsv, .csv"),
    (lambda t, tmp: network(t.drop(columns="r2")), "lacks the columns 'r2'"),
    (lambda t, tmp: network(t.drop(columns=["q_normal", "q_permutation"])), "no q-values"),
    (lambda t, tmp: network(t, max_q=5), "max_q must be between 0 and 1"),
])
def test_refused(table, tmp_path, call, message):
    with pytest.raises(ValueError, match=message):
        call(table, tmp_path)


def test_without_networkx_the_message_says_what_to_install(table, monkeypatch):
    monkeypatch.setitem(sys.modules, "networkx", None)
    with pytest.raises(ImportError, match=r"corrshift.network needs networkx: pip install 'corrshift\[network\]'"):
        network(table)
