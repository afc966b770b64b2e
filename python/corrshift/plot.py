"""Plots of corrshift results (needs matplotlib: ``pip install 'corrshift[plot]'``).

Figures are made without pyplot, so nothing opens a window and nothing is
kept in pyplot's list of figures; each function returns the Axes it drew on.
Save with :func:`save` (``save(ax, "name.png")``: the file appears only when
complete) or with ``ax.figure.savefig("name.png")``; PNG files are rendered
by Agg.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

try:
    from matplotlib import colormaps
    from matplotlib.figure import Figure
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("corrshift.plot needs matplotlib: pip install 'corrshift[plot]'") from e

from . import native
from .api import prepare
from .atomic import atomic_path
from .classes import change_classes
from .messages import few
from .ranking import ranked

_HIGHER1 = "#c0392b"  # pairs whose correlation is higher in group 1
_HIGHER2 = "#2166ac"  # ... higher in group 2
_PLAIN = "#b0b0b0"


def save(ax, path, **savefig_options) -> None:
    """Save the figure of ``ax`` to ``path``, whole or not at all.

    The figure is written under a temporary name in the same folder and
    renamed to ``path`` when complete: an interrupted save leaves ``path``
    as it was.

    Parameters
    ----------
    ax : matplotlib Axes
        An Axes of the figure to save, as the plot functions return.
    path : str or path-like
        The file; its extension chooses the format (.png, .pdf, .svg, ...).
        Missing parent folders are created.
    **savefig_options
        Passed to ``Figure.savefig`` (for example ``dpi=150``).
    """
    with atomic_path(path) as partial:
        ax.figure.savefig(partial, **savefig_options)


def _axes(ax, size):
    if ax is not None:
        return ax
    fig = Figure(figsize=size, layout="constrained")
    return fig.add_subplot()


def _group_names(results: pd.DataFrame) -> tuple[str, str]:
    return results.attrs.get("group1", "group 1"), results.attrs.get("group2", "group 2")


def _check_ztest(results: pd.DataFrame, needed) -> None:
    missing = [c for c in needed if c not in results.columns]
    if missing:
        raise ValueError(f"results lack the columns {few(missing)}; pass a table from corrshift.ztest")


def volcano(results: pd.DataFrame, *, p: str = "p_normal", q: str = "q_permutation", alpha: float = 0.05,
            label: int = 8, ax=None):
    """Volcano plot of a z-test table: z_diff against -log10 p.

    Pairs whose q-value is below ``alpha`` are coloured by the group in
    which their correlation is higher; the ``label`` best of them are named.

    Parameters
    ----------
    results : DataFrame
        A table from :func:`corrshift.ztest`.
    p : {"p_normal", "p_permutation"}
        The p-value on the vertical axis. The permutation p-value cannot go
        below 1/(m + 1), so many strong pairs share its top row; the normal
        p-value spreads them out.
    q : {"q_permutation", "q_normal"}
        The q-value that decides which pairs are significant.
    alpha : float
        Significance level for the q-values.
    label : int
        How many of the best significant pairs to name.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes
    """
    if p not in ("p_normal", "p_permutation"):
        raise ValueError(f'p must be "p_normal" or "p_permutation"; got {p!r}')
    if q not in ("q_normal", "q_permutation"):
        raise ValueError(f'q must be "q_normal" or "q_permutation"; got {q!r}')
    _check_ztest(results, ("feature_a", "feature_b", "z_diff", p, q))
    name1, name2 = _group_names(results)
    ax = _axes(ax, (10, 6))
    rows = results[results["z_diff"].notna()]
    # p-values that underflowed to 0 are drawn at the smallest float32 value.
    floor = float(np.finfo(np.float32).smallest_subnormal)
    y = -np.log10(np.maximum(rows[p].to_numpy(dtype=float), floor))
    x = rows["z_diff"].to_numpy(dtype=float)
    significant = (rows[q] < alpha).to_numpy()
    up, down = significant & (x > 0), significant & (x <= 0)
    ax.scatter(x[~significant], y[~significant], s=12, c=_PLAIN, lw=0,
               label=f"{q} ≥ {alpha:g} ({(~significant).sum()})")
    ax.scatter(x[up], y[up], s=16, c=_HIGHER1, lw=0, label=f"{q} < {alpha:g}, r higher in {name1} ({up.sum()})")
    ax.scatter(x[down], y[down], s=16, c=_HIGHER2, lw=0,
               label=f"{q} < {alpha:g}, r higher in {name2} ({down.sum()})")
    ax.axvline(0, color="0.6", lw=0.8, zorder=0)
    ax.set_xlabel(f"z_diff = atanh r({name1}) − atanh r({name2})")
    ax.set_ylabel(f"−log10 {p}")
    ax.set_title(f"{name1} vs {name2}: {len(rows)} pairs, {significant.sum()} with {q} < {alpha:g}")
    # Outside the axes, where neither points nor names can be under it.
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize=8, frameon=False)
    best = ranked(rows[significant]).head(label)
    _label_points(ax, best["z_diff"].to_numpy(dtype=float),
                  -np.log10(np.maximum(best[p].to_numpy(dtype=float), floor)),
                  [f"{a} – {b}" for a, b in zip(best["feature_a"], best["feature_b"])])
    return ax


def _label_points(ax, x, y, texts) -> None:
    """Name points in a column beside them, stacked so that no two names overlap.

    Points right of 0 get their names to the left (and the other way round);
    a thin line joins each name to its point.
    """
    if len(x) == 0:
        return
    ax.margins(y=0.08)
    x_lo, x_hi = ax.get_xlim()
    y_lo, y_hi = ax.get_ylim()
    gap = (y_hi - y_lo) * 0.045
    for side in (x > 0, x <= 0):
        order = np.flatnonzero(side)[np.argsort(-y[side], kind="stable")]
        placed = np.inf
        for i in order:
            ty = min(y[i], placed - gap)
            placed = ty
            shift = 0.12 * (x_hi - x_lo)
            tx = x[i] - shift if x[i] > 0 else x[i] + shift
            ax.annotate(texts[i], (x[i], y[i]), xytext=(tx, ty), fontsize=7,
                        ha="right" if x[i] > 0 else "left", va="center",
                        arrowprops=dict(arrowstyle="-", lw=0.5, color="0.4", shrinkA=2, shrinkB=2))


def pair(data, a, b, group1=None, group2=None, *, groupby=None, groups=None, layer=None,
         method="pearson", class_alpha=0.05, ax=None):
    """Scatter plot of two features in each group, with each group's correlation.

    The correlations shown are the ones :func:`corrshift.ztest` reports for
    the pair (same data handling, same native arithmetic): Pearson's, or
    Spearman's with tied values at their average rank. The title gives the
    pair's class of change (the ``class`` column of :func:`corrshift.ztest`).

    Parameters
    ----------
    data, group1, group2, groupby, groups, layer, method, class_alpha
        As in :func:`corrshift.ztest`.
    a, b : str or int
        The two features, by name or position.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes
    """
    prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                   features=[a, b])
    if prep.features[0] == prep.features[1]:
        raise ValueError(f"a and b are the same feature: {prep.features[0]!r}")
    found = native.ztest(prep.matrix, prep.group1, prep.group2, method, "two-sided", 0, 1,
                         pairs=([0], [1]))
    r1, r2 = found["r1"], found["r2"]
    # The raw values, not the standardised float32 copy, go on the axes.
    columns = np.concatenate([prep.groups.first, prep.groups.second])
    values = np.asarray(prep.table.read(columns, prep.rows), dtype=np.float64)
    n1 = len(prep.group1)
    ax = _axes(ax, (6, 5))
    for cols, r, name, colour in ((slice(0, n1), r1[0], prep.groups.names[0], _HIGHER1),
                                  (slice(n1, None), r2[0], prep.groups.names[1], _HIGHER2)):
        x, y = values[0, cols], values[1, cols]
        shown = "undefined" if np.isnan(r) else f"{r:.3f}"
        ax.scatter(x, y, s=14, c=colour, alpha=0.6, lw=0, label=f"{name} (n = {len(x)}): r = {shown}")
        if method == "pearson" and shown != "undefined":
            slope, intercept = np.polyfit(x, y, 1)
            xs = np.array([x.min(), x.max()])
            ax.plot(xs, slope * xs + intercept, c=colour, lw=1.5)
    ax.set_xlabel(str(prep.features[0]))
    ax.set_ylabel(str(prep.features[1]))
    kind = "Pearson" if method == "pearson" else "Spearman (rank)"
    change = change_classes(r1, r2, n1, len(prep.group2), class_alpha)[0]
    ax.set_title(f"{prep.features[0]} vs {prep.features[1]}: {kind} r per group (class {change})")
    ax.legend(fontsize=8, frameon=False)
    return ax


def heatmap(results: pd.DataFrame, features=None, *, top: int = 20, alpha: float = 0.05, ax=None):
    """The z_diff matrix of the top features of a z-test table.

    Parameters
    ----------
    results : DataFrame
        A table from :func:`corrshift.ztest`.
    features : sequence, optional
        Features to show, in this order. By default the first ``top``
        features met in the best pairs (best first).
    top : int
        Number of features chosen when ``features`` is omitted.
    alpha : float
        Cells whose permutation q-value is below ``alpha`` get a dot.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes
    """
    _check_ztest(results, ("feature_a", "feature_b", "z_diff", "q_permutation"))
    name1, name2 = _group_names(results)
    picked = features is None
    if picked:
        best = ranked(results[results["z_diff"].notna()])
        chosen = pd.unique(best[["feature_a", "feature_b"]].to_numpy().ravel())[:top]
        # Shown in the order the table lists them (the data's order for all pairs).
        listed = pd.unique(results[["feature_a", "feature_b"]].to_numpy().ravel())
        features = [f for f in listed if f in set(chosen)]
    features = list(features)
    where = {f: i for i, f in enumerate(features)}
    n = len(features)
    z = np.full((n, n), np.nan)
    marked = np.zeros((n, n), dtype=bool)
    for fa, fb, value, q in results[["feature_a", "feature_b", "z_diff", "q_permutation"]].itertuples(index=False):
        if fa in where and fb in where:
            i, j = where[fa], where[fb]
            z[i, j] = z[j, i] = value
            marked[i, j] = marked[j, i] = q < alpha
    size = 3.5 + 0.32 * n
    ax = _axes(ax, (size + 1.6, size))
    limit = np.nanmax(np.abs(z)) if np.isfinite(z).any() else 1.0
    cmap = colormaps["RdBu_r"].with_extremes(bad="0.8")
    image = ax.imshow(np.ma.masked_invalid(z), cmap=cmap, vmin=-limit, vmax=limit)
    ii, jj = np.nonzero(marked)
    ax.scatter(jj, ii, s=9, c="black", marker="o", edgecolors="white", linewidths=0.4)
    ax.set_xticks(range(n), [str(f) for f in features], rotation=90, fontsize=8)
    ax.set_yticks(range(n), [str(f) for f in features], fontsize=8)
    ax.set_xlim(-0.5, n - 0.5)
    ax.set_ylim(n - 0.5, -0.5)
    bar = ax.figure.colorbar(image, ax=ax, shrink=0.8)
    bar.set_label(f"z_diff (red: r higher in {name1}, blue: in {name2})")
    of = results.attrs.get("features")
    which = f"the {n} features of the best pairs" if picked else f"{n} features"
    ax.set_title(f"z_diff, {name1} vs {name2}: {which}" + (f" (of {of})" if of else "")
                 + f"\ndots: q_permutation < {alpha:g}; grey: no pair", fontsize=10)
    return ax


def _network_layout(nx, graph) -> dict:
    """Node positions: each connected part laid out on its own, the parts packed in rows, largest first.

    Within a part, Kamada-Kawai (even spacing, few crossings) from a
    seeded spring layout, so the picture is the same at every call. Laid
    out together, separate parts would interleave and look joined.
    """
    parts = sorted((graph.subgraph(c) for c in nx.connected_components(graph)), key=len, reverse=True)
    sides = [np.sqrt(len(part)) for part in parts]  # a square of area proportional to the nodes
    row_width = max(sides[0], 1.3 * np.sqrt(sum(side * side for side in sides)))
    where, x, y, row = {}, 0.0, 0.0, 0.0
    for part, side in zip(parts, sides):
        if x > 0 and x + side > row_width:
            x, y, row = 0.0, y - row, 0.0
        start = nx.spring_layout(part, seed=1)
        inner = nx.kamada_kawai_layout(part, pos=start) if len(part) > 2 else start
        xy = nx.rescale_layout(np.array([inner[v] for v in part]), scale=0.4 * side)
        for v, (px, py) in zip(part, xy):
            where[v] = (x + side / 2 + px, y - side / 2 + py)
        x, row = x + side, max(row, side)
    return where


def network(graph_or_table, *, max_q: float = 0.05, top: int = 300, label: int = 15, ax=None):
    """The network of significant pairs: features joined by the pairs that changed.

    Edges are red where the correlation is higher in group 1 (z_diff > 0)
    and blue where it is higher in group 2, thicker the larger |z_diff|;
    nodes are sized by their number of pairs. All features are named in
    small networks; in crowded ones only the ``label`` hubs with most pairs.
    Each connected part is laid out apart from the others (Kamada-Kawai
    from a fixed-seed spring layout: the same picture at every call).

    Parameters
    ----------
    graph_or_table : networkx.Graph or DataFrame
        A graph from :func:`corrshift.network`, or a table from
        :func:`corrshift.ztest` (its significant pairs are drawn).
    max_q : float
        Largest q-value of a significant pair, when a table is given.
    top : int
        Most edges drawn: the ``top`` with the smallest q-value (then the
        largest |z_diff|); the title says when some were left out.
    label : int
        Features named when the network has more nodes than that.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes
    """
    from matplotlib.collections import LineCollection
    from matplotlib.lines import Line2D

    from .network import network as network_graph
    from .network import networkx_module

    nx = networkx_module()
    if isinstance(graph_or_table, pd.DataFrame):
        graph, _ = network_graph(graph_or_table, max_q=max_q)
    else:
        graph = graph_or_table
    if top < 1:
        raise ValueError(f"top must be at least 1; got {top!r}")
    name1, name2 = graph.graph.get("group1", "group 1"), graph.graph.get("group2", "group 2")
    edges = sorted(graph.edges(data=True), key=lambda e: (e[2].get("q", 0.0), -abs(e[2].get("z_diff", 0.0))))
    shown = nx.Graph(graph.edge_subgraph([(a, b) for a, b, _ in edges[:top]]))
    n = shown.number_of_nodes()
    # Crowded networks get more room.
    grow = min(4.0, n / 60)
    ax = _axes(ax, (9 + grow, 8 + grow))
    ax.set_axis_off()
    q = graph.graph.get("q", "q")
    of = f"{shown.number_of_edges()} of {graph.number_of_edges()}" if len(edges) > top else str(len(edges))
    ax.set_title(f"{name1} vs {name2}: {of} pairs with {q} ≤ {graph.graph.get('max_q', max_q):g}, "
                 f"{n} features", fontsize=10)
    if n == 0:
        ax.text(0.5, 0.5, "no significant pair", ha="center", va="center", transform=ax.transAxes, color="0.4")
        return ax
    where = _network_layout(nx, shown)
    degree = np.array([shown.degree(v) for v in shown.nodes])
    z = np.array([d.get("z_diff", 0.0) for _, _, d in shown.edges(data=True)])
    lines = np.array([(where[a], where[b]) for a, b in shown.edges])
    width = 0.6 + 2.4 * np.abs(z) / np.abs(z).max()
    handles = []
    for mask, colour, text in ((z > 0, _HIGHER1, f"r higher in {name1}"), (z <= 0, _HIGHER2, f"r higher in {name2}")):
        ax.add_collection(LineCollection(lines[mask], colors=colour, linewidths=width[mask], alpha=0.75, zorder=1))
        handles.append(Line2D([], [], color=colour, lw=2, label=f"{text} ({mask.sum()})"))
    xy = np.array([where[v] for v in shown.nodes])
    ax.scatter(xy[:, 0], xy[:, 1], s=18 + 220 * degree / degree.max(), c="0.25", edgecolors="white",
               linewidths=0.6, zorder=2)
    named = np.arange(n) if n <= label else np.argsort(-degree, kind="stable")[:label]
    nodes = list(shown.nodes)
    for i in named:
        ax.annotate(str(nodes[i]), xy[i], xytext=(4, 4), textcoords="offset points", fontsize=7, zorder=3,
                    bbox=dict(boxstyle="round,pad=0.15", fc="white", ec="none", alpha=0.7))
    ax.autoscale_view()
    ax.margins(0.06)
    # Below the drawing, where it covers no node and the long group names fit.
    ax.legend(handles=handles + [Line2D([], [], ls="", marker="o", color="0.25", label="feature (size: pairs)")],
              loc="upper center", bbox_to_anchor=(0.5, 0), ncol=3, fontsize=8, frameon=False,
              title="edges, width by |z_diff|", title_fontsize=8)
    return ax
