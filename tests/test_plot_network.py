"""corrshift.plot.network: one drawn line per significant pair."""

import networkx as nx
import numpy as np
import pandas as pd
import pytest
from matplotlib.collections import LineCollection

from corrshift import plot
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
    # Red lines: r higher in group 1 (z_diff > 0), blue: higher in group 2.
    up = sum(z > 0 for *_, z in graph.edges(data="z_diff"))
    if shown == total:
        assert [len(c.get_segments()) for c in lines] == [up, graph.number_of_edges() - up]
        # Crowded: only the hubs are named, the first among them the feature with most pairs.
        names = [t.get_text() for t in ax.texts]
        assert len(names) == 15 and names[0] == hubs.index[0]


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
