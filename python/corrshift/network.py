"""The network of significant pairs: a graph, its hubs, and files for Cytoscape.

Needs networkx (``pip install 'corrshift[network]'``), imported when first
used, so that the rest of corrshift works without it.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from .atomic import atomic_path
from .classes import STRONGER_IN_GROUP1, STRONGER_IN_GROUP2, stronger_in
from .messages import few

_PAIR_COLUMNS = ("feature_a", "feature_b", "r1", "r2", "z_diff")
_EDGE_FORMATS = {".graphml": "graphml", ".tsv": "\t", ".csv": ","}


def networkx_module():
    """``networkx``, or an ImportError that says how to install it."""
    try:
        import networkx
    except ImportError:
        raise ImportError("corrshift.network needs networkx: pip install 'corrshift[network]'") from None
    return networkx


def has_permutations(table: pd.DataFrame, column: str = "q_permutation") -> bool:
    """Whether ``table`` has permutation values in ``column``: the column is there, not all NaN,
    and the table does not come from a run without permutations (``attrs["permutations"] == 0``,
    whose permutation p-values say nothing)."""
    return (column in table.columns and bool(table[column].notna().any())
            and table.attrs.get("permutations") != 0)


def deciding_q(table: pd.DataFrame) -> str:
    """The q-value column that decides which pairs of a z-test table are significant.

    ``q_permutation`` when the table has permutation q-values (see
    :func:`has_permutations`), else ``q_normal``.
    """
    if has_permutations(table):
        return "q_permutation"
    if "q_normal" in table.columns:
        return "q_normal"
    raise ValueError("the table has no q-values: it needs a q_permutation column with values or a q_normal "
                     "column (without permutations, q_permutation is NaN; with top= or max_p=, there is no "
                     "q_normal)")


def significant_pairs(table: pd.DataFrame, max_q: float = 0.05) -> tuple[pd.DataFrame, str]:
    """The rows of a z-test table whose q-value is at most ``max_q``, and that q's column.

    The permutation q-value decides when the table has one
    (``q_permutation`` present and not all NaN, from a run with
    permutations), the normal q-value otherwise. Untested rows (NaN q) are
    never significant. A pair listed
    twice (as (a, b) and again, or as (b, a)) is kept once, at its first row.

    Parameters
    ----------
    table : DataFrame
        A table from :func:`corrshift.ztest` (at least ``feature_a``,
        ``feature_b``, ``r1``, ``r2``, ``z_diff`` and a q-value column).
    max_q : float
        Largest q-value of a significant pair.

    Returns
    -------
    rows : DataFrame
        The significant rows, in the table's order.
    q : {"q_permutation", "q_normal"}
        The column that decided.
    """
    missing = [c for c in _PAIR_COLUMNS if c not in table.columns]
    if missing:
        raise ValueError(f"the table lacks the columns {few(missing)}; pass a table from corrshift.ztest")
    if not 0.0 <= max_q <= 1.0:
        raise ValueError(f"max_q must be between 0 and 1; got {max_q!r}")
    q = deciding_q(table)
    rows = table[(table[q] <= max_q).to_numpy()]
    # An unordered pair is one key whichever way round it was listed.
    keys = pd.Series([frozenset(ab) for ab in zip(rows["feature_a"], rows["feature_b"])], dtype=object)
    return rows[~keys.duplicated().to_numpy()], q


#: The hub table's columns: a feature's significant pairs, and how many of
#: them are stronger in each group (see :func:`corrshift.classes.stronger_in`).
HUB_COLUMNS = ("pairs", "stronger_in_group1", "stronger_in_group2")


def hub_table(rows: pd.DataFrame) -> pd.DataFrame:
    """Per feature: its significant pairs, and in which group each pair's correlation is stronger.

    ``stronger_in_group1`` counts the pairs whose correlation is stronger
    in group 1 than in group 2 (``|r1| > |r2|``, whatever the signs),
    ``stronger_in_group2`` those stronger in group 2 (``|r1| < |r2|``):
    the definition of :func:`corrshift.classes.stronger_in`, which the
    network's and the plots' colours use too. A pair with ``|r1| == |r2|``
    (a sign flip of equal strength) counts in ``pairs`` only. Group names
    are in ``attrs`` (``group1``, ``group2``) when the rows' table has
    them.

    Parameters
    ----------
    rows : DataFrame
        Significant rows of a z-test table (see :func:`significant_pairs`).

    Returns
    -------
    DataFrame
        Index ``feature``; integer columns ``pairs``,
        ``stronger_in_group1``, ``stronger_in_group2``; most pairs first
        (ties in order of first appearance in ``rows``).
    """
    stronger = np.tile(stronger_in(rows["r1"], rows["r2"]), 2)
    ends = pd.DataFrame({
        "feature": np.concatenate([rows["feature_a"].to_numpy(dtype=object),
                                   rows["feature_b"].to_numpy(dtype=object)]),
        "stronger_in_group1": stronger == STRONGER_IN_GROUP1,
        "stronger_in_group2": stronger == STRONGER_IN_GROUP2,
    })
    hubs = ends.groupby("feature", sort=False).agg(
        pairs=("stronger_in_group1", "size"), stronger_in_group1=("stronger_in_group1", "sum"),
        stronger_in_group2=("stronger_in_group2", "sum"))
    hubs = hubs.astype(np.int64).sort_values("pairs", ascending=False, kind="stable")
    hubs.attrs = {side: str(rows.attrs[side]) for side in ("group1", "group2") if side in rows.attrs}
    return hubs


def network(table: pd.DataFrame, max_q: float = 0.05):
    """The graph of the significant pairs of a z-test table, and its hubs.

    A pair is significant when its permutation q-value is at most
    ``max_q``; the normal q-value decides instead when the table has no
    permutation q-values (no ``q_permutation`` column, or all NaN, as with
    ``permutations=0``).

    Parameters
    ----------
    table : DataFrame
        A table from :func:`corrshift.ztest`.
    max_q : float
        Largest q-value of a significant pair.

    Returns
    -------
    graph : networkx.Graph
        Nodes are features; one edge per significant pair, with the
        attributes ``r1``, ``r2``, ``z_diff``, ``q`` (the q-value that
        decided) and, when the table has a ``class`` column, ``class``.
        Nodes carry their ``pairs``, ``stronger_in_group1`` and
        ``stronger_in_group2`` counts.
        ``graph.graph`` records ``q`` (the deciding column's name),
        ``max_q``, and ``group1`` / ``group2`` when ``table.attrs`` has them.
    hubs : DataFrame
        Per feature of the graph: ``pairs`` (its significant pairs),
        ``stronger_in_group1`` (those whose correlation is stronger in
        group 1 than in group 2, ``|r1| > |r2|``) and
        ``stronger_in_group2`` (``|r1| < |r2|``); most pairs first. See
        :func:`hub_table`.

    Examples
    --------
    >>> graph, hubs = corrshift.network(corrshift.ztest(data, group1, group2), max_q=0.1)
    >>> hubs.head()
    """
    nx = networkx_module()
    rows, q = significant_pairs(table, max_q)
    hubs = hub_table(rows)
    graph = nx.Graph(q=q, max_q=float(max_q))
    for side in ("group1", "group2"):
        if side in table.attrs:
            graph.graph[side] = str(table.attrs[side])
    for feature, counts in zip(hubs.index, hubs.to_dict("records")):
        graph.add_node(feature, **counts)
    # Plain Python values: GraphML writes only str, int, float and bool.
    attributes = {name: rows[column].to_numpy(dtype=float).tolist()
                  for name, column in (("r1", "r1"), ("r2", "r2"), ("z_diff", "z_diff"), ("q", q))}
    if "class" in table.columns:
        # A class read back from a text file may be NaN where it was "NA".
        attributes["class"] = ["NA" if pd.isna(c) else str(c) for c in rows["class"]]
    edges = zip(rows["feature_a"], rows["feature_b"], *attributes.values())
    graph.add_edges_from((a, b, dict(zip(attributes, values))) for a, b, *values in edges)
    return graph, hubs


def edge_table(graph) -> pd.DataFrame:
    """The edges of a network as a table: ``source``, ``target``, then the edge attributes.

    Parameters
    ----------
    graph : networkx.Graph
        A graph from :func:`network`.

    Returns
    -------
    DataFrame
        One row per edge, in the graph's edge order; attribute columns in
        the order the first edge lists them.
    """
    edges = list(graph.edges(data=True))
    names = list(dict.fromkeys(k for _, _, data in edges for k in data))
    return pd.DataFrame({
        "source": [a for a, _, _ in edges], "target": [b for _, b, _ in edges],
        **{name: [data.get(name) for _, _, data in edges] for name in names},
    })


def network_format(path) -> str:
    """"graphml", or the separator of an edge table (TSV, CSV), from a file name; ValueError otherwise."""
    kind = _EDGE_FORMATS.get(Path(path).suffix.lower())
    if kind is None:
        raise ValueError(f"cannot write a network to {str(path)!r}: use a name ending in "
                         f"{', '.join(_EDGE_FORMATS)}")
    return kind


def write_network(graph, path) -> None:
    """Write a network as GraphML or as an edge table for Cytoscape; the format follows the name.

    The file is written under a hidden name in the same folder and renamed
    when complete, so a reader never sees half a file and a failed write
    leaves any earlier file as it was.

    Parameters
    ----------
    graph : networkx.Graph
        A graph from :func:`network`.
    path : str or path-like
        ``.graphml``: GraphML with every node and edge attribute (node
        names are written as text). ``.tsv`` or ``.csv``: one row per edge,
        ``source``, ``target`` and the edge attributes (see
        :func:`edge_table`); Cytoscape imports it as a network from a file,
        with source and target as the interacting nodes.
    """
    path = Path(path)
    kind = network_format(path)
    with atomic_path(path) as partial:
        if kind == "graphml":
            networkx_module().write_graphml(graph, partial)
        else:
            edge_table(graph).to_csv(partial, sep=kind, index=False)
