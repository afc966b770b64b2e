"""corrshift.plot.network: one drawn line per significant pair, coloured as the hub table counts;
names placed clear of each other (in the scatter plots too)."""

import networkx as nx
import numpy as np
import pandas as pd
import pytest
from matplotlib.collections import LineCollection
from matplotlib.text import Text

import corrshift
from corrshift import plot
from corrshift.datasets import breast_cancer
from corrshift.network import network

PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def table():
    rng = np.random.default_rng(5)
    n = 120
    a = rng.integers(0, 40, n)
    b = (a + 1 + rng.integers(0, 39, n)) % 40  # never a itself
    r1, r2 = rng.uniform(-0.95, 0.95, (2, n))
    t = pd.DataFrame({"feature_a": [f"gene {i}" for i in a], "feature_b": [f"gene {i}" for i in b],
                      "r1": r1, "r2": r2, "z_diff": np.arctanh(r1) - np.arctanh(r2),
                      "q_permutation": rng.uniform(0, 0.1, n)})
    t.attrs = {"group1": "tumour", "group2": "normal"}
    return t


def drawn(ax):
    lines = [c for c in ax.collections if isinstance(c, LineCollection)]
    return [tuple(map(tuple, segment)) for c in lines for segment in c.get_segments()], lines


@pytest.mark.parametrize("top", [300, 10])
def test_one_line_per_edge_coloured_by_direction(table, top, tmp_path):
    graph, hubs = network(table)
    ax = plot.network(table, top=top)
    ax.figure.savefig(tmp_path / "network.png")
    assert (tmp_path / "network.png").read_bytes().startswith(PNG)
    segments, lines = drawn(ax)
    total = graph.number_of_edges()
    shown = min(top, total)
    assert len(segments) == len(set(segments)) == shown
    of = f"{shown} of {total}" if shown < total else str(total)
    # The pairs drawn are those with the smallest q-values.
    best = sorted(graph.edges(data="q"), key=lambda e: e[2])[:shown]
    features = len({f for a, b, _ in best for f in (a, b)})
    assert ax.get_title() == f"tumour vs normal: {of} pairs with q_permutation ≤ 0.05, {features} features"
    # Red lines: the correlation is stronger in group 1 (|r1| > |r2|), blue: stronger in group 2.
    strength = [np.sign(abs(r1) - abs(r2)) for *_, r1, r2 in
                ((a, b, d["r1"], d["r2"]) for a, b, d in graph.edges(data=True))]
    up, down = strength.count(1), strength.count(-1)
    if shown == total:
        assert [len(c.get_segments()) for c in lines] == [up, down]
        assert [t.get_text() for t in ax.get_legend().get_texts()] == [
            f"stronger in tumour (|r1| > |r2|) ({up})", f"stronger in normal (|r1| < |r2|) ({down})",
            "feature (size: pairs)"]
        # Every feature is named (up to 60), the feature with most pairs first.
        names = [t.get_text() for t in ax.texts]
        assert sorted(names) == sorted(graph.nodes) and names[0] == hubs.index[0]


def test_edge_colours_agree_with_the_hub_table(table):
    graph, hubs = network(table)
    ax = plot.network(graph)
    red, blue = drawn(ax)[1]
    assert red.get_label().startswith("stronger in tumour") and blue.get_label().startswith("stronger in normal")
    feature_at = {xy: v for v, xy in plot._network_layout(nx, graph).items()}
    ends = [feature_at[tuple(end)] for segment in red.get_segments() for end in segment]
    counted = pd.Series(ends).value_counts().reindex(hubs.index, fill_value=0)
    assert (counted == hubs["stronger_in_group1"]).all()


@pytest.mark.parametrize("nodes, label, named", [(80, 60, 60), (80, 100, 80), (30, 60, 30)])
def test_every_feature_is_named_up_to_label_then_the_hubs(nodes, label, named):
    rng = np.random.default_rng(1)
    a = np.arange(nodes)
    b = (a + 1 + rng.integers(0, nodes - 1, nodes)) % nodes
    t = pd.DataFrame({"feature_a": [f"g{i}" for i in a], "feature_b": [f"g{i}" for i in b],
                      "r1": 0.8, "r2": 0.1, "z_diff": 1.0, "q_permutation": 0.01})
    graph, hubs = network(t)
    names = [t.get_text() for t in plot.network(graph, label=label).texts]
    assert len(names) == len(set(names)) == min(named, graph.number_of_nodes())
    # The named features are the hubs: none has fewer pairs than a feature left unnamed.
    unnamed = hubs.index.difference(names)
    assert unnamed.empty or hubs.loc[names, "pairs"].min() >= hubs.loc[unnamed, "pairs"].max()


def test_a_table_without_permutations_is_drawn_by_q_normal(table):
    without = table.drop(columns="q_permutation").assign(q_normal=0.01)
    without.attrs = table.attrs
    ax = plot.network(without)
    segments, _ = drawn(ax)
    assert len(segments) == network(without)[0].number_of_edges() > 0
    assert "q_normal ≤ 0.05" in ax.get_title() and "no significant pair" not in [t.get_text() for t in ax.texts]


def test_a_graph_draws_as_its_table_and_nothing_significant_says_so(table):
    graph, _ = network(table)
    assert len(drawn(plot.network(graph))[0]) == graph.number_of_edges()
    empty = plot.network(table, max_q=0.0)
    assert drawn(empty)[0] == [] and [t.get_text() for t in empty.texts] == ["no significant pair"]


def test_separate_parts_are_laid_out_apart():
    graph = nx.Graph([(f"a{i}", f"a{j}") for i in range(9) for j in range(i + 1, 9) if (i + j) % 3]
                     + [("b0", "b1"), ("b1", "b2"), ("b2", "b0"), ("c0", "c1")])
    where = plot._network_layout(nx, graph)
    assert where == plot._network_layout(nx, graph)  # the same picture at every call
    boxes = []
    for part in nx.connected_components(graph):
        xy = np.array([where[v] for v in part])
        boxes.append((xy.min(axis=0), xy.max(axis=0)))
    assert len(boxes) == 3
    for (lo1, hi1), (lo2, hi2) in [(boxes[i], boxes[j]) for i in range(3) for j in range(i + 1, 3)]:
        assert (hi1 < lo2).any() or (hi2 < lo1).any()


def name_boxes(ax):
    """The screen boxes of the names (the text alone, not the lines to their points)."""
    ax.figure.draw_without_rendering()
    return [Text.get_window_extent(t) for t in ax.texts]


@pytest.fixture(scope="module")
def cancer_pairs():
    data, samples = breast_cancer()
    with pytest.warns(corrshift.CorrshiftWarning, match="permutations are too few"):
        return corrshift.ztest(data, groupby=samples["diagnosis"], groups=("malignant", "benign"),
                               permutations=999, progress=False)


def test_names_do_not_overlap_and_point_at_their_feature(cancer_pairs):
    # The breast-cancer network: 30 features, most of them in one dense part.
    graph, _ = network(cancer_pairs)
    ax = plot.network(graph)
    boxes = name_boxes(ax)
    assert len(boxes) == graph.number_of_nodes() == 30
    assert not any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1:])
    where = plot._network_layout(nx, graph)
    for name in ax.texts:
        assert name.xy == pytest.approx(where[name.get_text()])


@pytest.mark.parametrize("draw", [plot.volcano, plot.correlations])
def test_names_of_the_best_pairs_do_not_overlap(cancer_pairs, draw):
    boxes = name_boxes(draw(cancer_pairs))
    assert len(boxes) == 8
    assert not any(a.overlaps(b) for i, a in enumerate(boxes) for b in boxes[i + 1:])
