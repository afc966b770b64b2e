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
    from matplotlib.ticker import FuncFormatter
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("corrshift.plot needs matplotlib: pip install 'corrshift[plot]'") from e

from . import native
from .api import prepare
from .atomic import atomic_path
from .between import other_values
from .groups import labelled_positions
from .kgroups import many_groups, prepare_groups
from .classes import (EQUALLY_STRONG, STRONGER_IN_GROUP1, STRONGER_IN_GROUP2, change_classes, group_classes,
                      significant_r, stronger_in)
from .messages import few
from .network import deciding_q, has_permutations
from .ranking import ranked

_STRONGER1 = "#c0392b"  # pairs whose correlation is stronger in group 1 (|r1| > |r2|)
_STRONGER2 = "#2166ac"  # ... stronger in group 2 (|r1| < |r2|)
_EQUAL = "#7b3294"  # ... equally strong (a sign flip of equal strength)
_PLAIN = "#b0b0b0"
_COLOURS = {STRONGER_IN_GROUP1: _STRONGER1, STRONGER_IN_GROUP2: _STRONGER2, EQUALLY_STRONG: _EQUAL}


def _directions(r1, r2, name1: str, name2: str):
    """(mask, colour, legend text) for each direction of change, by
    :func:`corrshift.classes.stronger_in`: the one reading of "stronger in a
    group" that every plot, the network's edges and the hub table share.
    Equally strong pairs (rare: a sign flip of exactly equal strength) come
    last and only when there are some."""
    stronger = stronger_in(r1, r2)
    texts = ((STRONGER_IN_GROUP1, f"stronger in {name1} (|r1| > |r2|)"),
             (STRONGER_IN_GROUP2, f"stronger in {name2} (|r1| < |r2|)"),
             (EQUALLY_STRONG, "equally strong (|r1| = |r2|)"))
    for value, text in texts:
        mask = stronger == value
        if value != EQUALLY_STRONG or mask.any():
            yield mask, _COLOURS[value], text


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
    if _across_groups(results):
        raise ValueError("results are a test across three groups or more, which has no one difference per pair: "
                         "draw them with plot.correlations (each group's r) or plot.pair")
    missing = [c for c in needed if c not in results.columns]
    if missing:
        raise ValueError(f"results lack the columns {few(missing)}; pass a table from corrshift.ztest")


def _q_column(results: pd.DataFrame, q) -> str:
    """The q-value column that decides: ``q``, or the table's own (see
    :func:`corrshift.network.deciding_q`)."""
    if q is None:
        return deciding_q(results)
    if q not in ("q_normal", "q_permutation"):
        raise ValueError(f'q must be "q_normal" or "q_permutation"; got {q!r}')
    _check_ztest(results, (q,))
    return q


def _pair_names(rows: pd.DataFrame) -> list[str]:
    return [f"{a} – {b}" for a, b in zip(rows["feature_a"], rows["feature_b"])]


def _scatter_by_direction(ax, x, y, rows, significant, q, alpha, name1, name2) -> None:
    """Grey dots for the pairs that are not significant, coloured ones (by the group in which
    the correlation is stronger) for those that are; a legend entry each, with its count."""
    ax.scatter(x[~significant], y[~significant], s=10, c=_PLAIN, lw=0,
               label=f"{q} ≥ {alpha:g} ({(~significant).sum()})")
    for mask, colour, text in _directions(rows["r1"], rows["r2"], name1, name2):
        chosen = significant & mask
        ax.scatter(x[chosen], y[chosen], s=16, c=colour, lw=0, zorder=2,
                   label=f"{q} < {alpha:g}, {text} ({chosen.sum()})")


def _title_and_legend(ax, rows, significant, q, alpha, name1, name2) -> None:
    ax.set_title(f"{name1} vs {name2}: {len(rows)} pairs, {significant.sum()} with {q} < {alpha:g}", fontsize=10)
    # Outside the axes, where neither points nor names can be under it.
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize=8, frameon=False)


def volcano(results: pd.DataFrame, *, p: str | None = None, q: str | None = None, alpha: float = 0.05,
            label: int = 8, ax=None):
    """Volcano plot of a z-test table: z_diff against -log10 of the p-value that decides.

    The vertical axis is the permutation p-value when the table has
    permutation p-values, and the normal q-value otherwise (a table from
    ``permutations=0``). Pairs whose q-value is below ``alpha`` are
    coloured by the group in which their correlation is stronger
    (``|r1| > |r2|``: see :func:`corrshift.classes.stronger_in`), whatever
    the sign of their z_diff; a dashed line marks where significance
    begins; the ``label`` best significant pairs are named.

    Parameters
    ----------
    results : DataFrame
        A table from :func:`corrshift.ztest`.
    p : {"p_permutation", "q_normal", "p_normal", "q_permutation"}, optional
        The value on the vertical axis. By default ``p_permutation``, or
        ``q_normal`` when the table has no permutation p-values. The
        permutation p-value cannot go below 1/(m + 1), so many strong pairs
        may share its top row.
    q : {"q_permutation", "q_normal"}, optional
        The q-value that decides which pairs are significant; by default
        ``q_permutation``, or ``q_normal`` when the table has no permutation
        q-values.
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
    q = _q_column(results, q)
    if p is None:
        p = "p_permutation" if has_permutations(results, "p_permutation") else "q_normal"
    elif p not in ("p_normal", "p_permutation", "q_normal", "q_permutation"):
        raise ValueError(f'p must be "p_permutation", "q_normal", "p_normal" or "q_permutation"; got {p!r}')
    _check_ztest(results, ("feature_a", "feature_b", "r1", "r2", "z_diff", p))
    name1, name2 = _group_names(results)
    ax = _axes(ax, (10, 6))
    rows = results[results["z_diff"].notna()]
    significant = (rows[q] < alpha).to_numpy()
    # p-values that underflowed to 0 are drawn at the smallest float32 value.
    floor = float(np.finfo(np.float32).smallest_subnormal)
    y = -np.log10(np.maximum(rows[p].to_numpy(dtype=float), floor))
    x = rows["z_diff"].to_numpy(dtype=float)
    _scatter_by_direction(ax, x, y, rows, significant, q, alpha, name1, name2)
    threshold = _threshold(rows[p].to_numpy(dtype=float), significant, p, q, alpha)
    if threshold is not None:
        ax.axhline(-np.log10(max(threshold, floor)), color="0.3", lw=0.8, ls="--", zorder=0,
                   label=f"{q} = {alpha:g}" if p == q else f"{q} < {alpha:g} from here up")
    ax.axvline(0, color="0.6", lw=0.8, zorder=0)
    ax.set_xlabel(f"z_diff = atanh r({name1}) − atanh r({name2})")
    ax.set_ylabel(f"−log10 {p}")
    _title_and_legend(ax, rows, significant, q, alpha, name1, name2)
    ax.margins(x=0.08, y=0.12)  # room for the names above the top row
    best = ranked(rows[significant]).head(label)
    _place_labels(ax, np.column_stack([best["z_diff"].to_numpy(dtype=float),
                                       -np.log10(np.maximum(best[p].to_numpy(dtype=float), floor))]),
                  _pair_names(best), np.column_stack([x, y]))
    return ax


def _threshold(values: np.ndarray, significant: np.ndarray, p: str, q: str, alpha: float):
    """Where significance begins on the vertical axis of a volcano plot, or None.

    On the q-value's own axis, at ``alpha``. On its p-value's axis, at the
    largest p-value of a significant pair: Benjamini-Hochberg q-values rise
    with the p-values, so the pairs on and above that line are exactly the
    significant ones. Other pairings of axis and q-value have no such line.
    """
    if p == q:
        return alpha
    if p.split("_")[1] == q.split("_")[1] and significant.any():
        return float(np.nanmax(values[significant]))
    return None


def correlations(results: pd.DataFrame, *, q: str | None = None, alpha: float = 0.05, label: int = 8, ax=None):
    """Each pair's correlation in group 1 against group 2: one point per pair.

    A table across three groups or more is drawn as the correlation of
    each of its best pairs in each group instead (rows: the ``3 * label``
    best pairs, best first; columns: the groups), the significant pairs
    marked.

    Points off the diagonal changed; significant pairs (q-value below
    ``alpha``) are coloured by the group in which their correlation is
    stronger (``|r1| > |r2|``: see :func:`corrshift.classes.stronger_in`),
    the others grey. The shaded wedges are the regions where the
    correlation is stronger in group 1 (red, around the r1 axis) or in
    group 2 (blue); the dashed diagonal holds pairs of equal strength and
    opposite sign. Dotted lines mark the |r| from which each group's
    correlation counts as "+" or "−" in the pair's class of change (the
    table's ``class`` column), so the nine cells they draw are the nine
    classes. The ``label`` best significant pairs are named.

    Parameters
    ----------
    results : DataFrame
        A table from :func:`corrshift.ztest`.
    q, alpha, label, ax
        As in :func:`volcano`.

    Returns
    -------
    matplotlib.axes.Axes
    """
    from matplotlib.patches import Polygon

    if _across_groups(results):
        return _group_correlations(results, q=q, alpha=alpha, top=max(label, 1) * 3, ax=ax)
    _check_ztest(results, ("feature_a", "feature_b", "r1", "r2", "z_diff"))
    name1, name2 = _group_names(results)
    q = _q_column(results, q)
    rows = results[results["r1"].notna() & results["r2"].notna()]
    significant = (rows[q] < alpha).to_numpy()
    ax = _axes(ax, (11.5, 7))
    # The wedges of each group's stronger correlations: around the r1 axis (|r1| > |r2|) and the r2 axis.
    for colour, wedges in ((_STRONGER1, ([(0, 0), (1, 1), (1, -1)], [(0, 0), (-1, 1), (-1, -1)])),
                           (_STRONGER2, ([(0, 0), (1, 1), (-1, 1)], [(0, 0), (1, -1), (-1, -1)]))):
        for corners in wedges:
            ax.add_patch(Polygon(corners, closed=True, fc=colour, ec="none", alpha=0.07, zorder=0))
    ax.plot([-1, 1], [-1, 1], color="0.45", lw=0.9, zorder=1, label="r1 = r2 (no change)")
    ax.plot([-1, 1], [1, -1], color="0.45", lw=0.9, ls="--", zorder=1, label="r1 = −r2 (equal strength)")
    x, y = rows["r1"].to_numpy(dtype=float), rows["r2"].to_numpy(dtype=float)
    _scatter_by_direction(ax, x, y, rows, significant, q, alpha, name1, name2)
    _class_edges(ax, results.attrs)
    ax.set_xlim(-1.03, 1.03)
    ax.set_ylim(-1.03, 1.03)
    ax.set_aspect("equal")
    ax.set_xlabel(f"r1: correlation in {name1}")
    ax.set_ylabel(f"r2: correlation in {name2}")
    _title_and_legend(ax, rows, significant, q, alpha, name1, name2)
    best = ranked(rows[significant]).head(label)
    _place_labels(ax, best[["r1", "r2"]].to_numpy(dtype=float), _pair_names(best), np.column_stack([x, y]))
    return ax


def _across_groups(results: pd.DataFrame) -> bool:
    """Whether ``results`` is a table of the test across three groups or more (one ``r_<label>`` per group)."""
    return len(results.attrs.get("groups", ())) > 2 and "chi2" in results.columns


def _group_correlations(results: pd.DataFrame, *, q: str | None, alpha: float, top: int, ax):
    """The correlation of each of the ``top`` best pairs (rows, best first) in each group (columns) of a
    table across groups, significant pairs marked by a dot beside their row."""
    labels = [str(label) for label in results.attrs["groups"]]
    columns = [f"r_{label}" for label in labels]
    q = _q_column(results, q)
    best = ranked(results[results["chi2"].notna()]).head(top)
    r = best[columns].to_numpy(dtype=float)
    significant = (best[q] < alpha).to_numpy()
    n = len(best)
    ax = _axes(ax, (3.2 + 0.9 * len(labels) + 2.2, 2.2 + 0.3 * max(n, 1)))
    image = ax.imshow(np.ma.masked_invalid(r), cmap=colormaps["RdBu_r"].with_extremes(bad="0.8"), vmin=-1,
                      vmax=1, aspect="auto")
    for (i, j), value in np.ndenumerate(r):
        if np.isfinite(value):
            ax.text(j, i, f"{value:.2f}", ha="center", va="center", fontsize=7,
                    color="white" if abs(value) > 0.6 else "black")
    rows = np.flatnonzero(significant)
    # Just right of the map (x in axes units), left of the colour bar.
    ax.scatter(np.full(len(rows), 1.04), rows, s=30, c="black", clip_on=False, transform=ax.get_yaxis_transform())
    ax.set_xticks(range(len(labels)), labels, rotation=30, ha="right", fontsize=8)
    ax.set_yticks(range(n), _pair_names(best), fontsize=8)
    ax.set_xlim(-0.5, len(labels) - 0.5)
    ax.set_ylim(n - 0.5, -0.5)
    bar = ax.figure.colorbar(image, ax=ax, shrink=0.8, pad=0.1)
    bar.set_label("correlation r in each group")
    ax.set_title(f"r per group of the {n} best pairs (of {len(results)}); dots: {q} < {alpha:g} "
                 f"({int(significant.sum())} shown)", fontsize=10)
    return ax


def _class_edges(ax, attrs) -> None:
    """Dotted lines at the |r| from which a group's correlation is "+" or "−" in the class of change."""
    if not all(k in attrs for k in ("n1", "n2")):
        return
    class_alpha = attrs.get("class_alpha", 0.05)
    edge1, edge2 = significant_r(int(attrs["n1"]), class_alpha), significant_r(int(attrs["n2"]), class_alpha)
    style = dict(color="0.55", lw=0.7, ls=":", zorder=1)
    for sign in (-1, 1):
        ax.axvline(sign * edge1, **style)
        ax.axhline(sign * edge2, **style, label=f"class edges: r ≠ 0 at p < {class_alpha:g}" if sign > 0 else None)


# Places tried for a name around its point, nearest first, as (dx, dy) in
# units of a few points; a name is placed at the first where it covers no
# other name and no point.
_AROUND = [(dx, dy) for reach in (1, 2.5, 4.5, 7, 10, 14, 20, 28) for dx, dy in
           ((1, 1), (1, -1), (-1, 1), (-1, -1), (0, 1.3), (0, -1.3), (1.3, 0), (-1.3, 0))
           for dx, dy in [(dx * reach, dy * reach)]]
_REACH = max(max(abs(dx), abs(dy)) for dx, dy in _AROUND)
_MOST_OBSTACLES = 20_000


def _place_labels(ax, xy: np.ndarray, texts, obstacles: np.ndarray, *, radii=None, own=None,
                  fontsize: float = 7) -> None:
    """Name points so that no two names overlap and no name covers a point, where room allows.

    Names are placed in the order given (the most important first), each
    at the first place around its point (:data:`_AROUND`) whose box
    overlaps no name placed before, no point of ``obstacles`` and stays
    inside the axes; a name that finds no such place goes where it
    overlaps least. Names away from their point get a thin line to it.
    The axes' limits are fixed first (names are placed in screen space).

    Parameters
    ----------
    xy : (n, 2) array
        The named points, in data coordinates.
    texts : sequence of str
        Their names.
    obstacles : (m, 2) array
        Points no name should cover (the named ones among them or not).
    radii : (m,) array, optional
        Each obstacle's radius in points (default 3).
    own : (n,) array, optional
        Each named point's radius in points, kept clear around it (default 3).
    """
    if len(xy) == 0:
        return
    figure = ax.figure
    figure.draw_without_rendering()  # settles the layout, so that data map to their final place
    ax.set_xlim(ax.get_xlim())
    ax.set_ylim(ax.get_ylim())
    to_screen = ax.transData.transform
    per_point = figure.dpi / 72
    unit = 4 * per_point
    frame = ax.get_window_extent()
    obstacles = np.asarray(obstacles, dtype=float).reshape(-1, 2)
    reach = (np.full(len(obstacles), 3.0) if radii is None else np.asarray(radii, dtype=float)) * per_point
    # Of very many points, an even sample stands for all (each then counting for `weight`).
    stride = max(1, len(obstacles) // _MOST_OBSTACLES)
    points, reach, weight = to_screen(obstacles[::stride]), reach[::stride], float(stride)
    clear = (np.full(len(xy), 3.0) if own is None else np.asarray(own, dtype=float)) * per_point
    boxes = []  # (x0, y0, x1, y1) of the names placed, in pixels
    for (px, py), text, gap in zip(to_screen(np.asarray(xy, dtype=float)), texts, clear):
        probe = ax.text(0, 0, text, fontsize=fontsize)
        extent = probe.get_window_extent()
        probe.remove()
        width, height = extent.width + 2 * per_point, extent.height + 2 * per_point
        # Only the points within reach of any place tried can be covered (few of a large table's).
        span = _REACH * unit + gap + width + height
        near = (np.abs(points[:, 0] - px) < span + reach) & (np.abs(points[:, 1] - py) < span + reach)
        best = None
        for dx, dy in _AROUND:
            cx, cy = px + dx * unit + np.sign(dx) * gap, py + dy * unit + np.sign(dy) * gap
            x0 = cx if dx > 0 else cx - width if dx < 0 else cx - width / 2
            y0 = cy if dy > 0 else cy - height if dy < 0 else cy - height / 2
            box = (x0, y0, x0 + width, y0 + height)
            cost = _overlap(box, boxes, points[near], reach[near], weight) + _outside(box, frame)
            if best is None or cost < best[0]:
                best = (cost, box, dx, dy)
            if cost == 0:
                break
        _, box, dx, dy = best
        boxes.append(box)
        far = np.hypot(dx, dy) > 1.5  # beyond the nearest ring of places
        corner = ax.transData.inverted().transform((box[0], box[1]))
        ax.annotate(text, ax.transData.inverted().transform((px, py)), xytext=corner, ha="left", va="bottom",
                    fontsize=fontsize, zorder=4, annotation_clip=False,
                    # A pale box keeps the name legible over points and lines.
                    bbox=dict(boxstyle="square,pad=0.1", fc="white", ec="none", alpha=0.75),
                    arrowprops=dict(arrowstyle="-", lw=0.5, color="0.35", shrinkA=0, shrinkB=2) if far else None)


def _overlap(box, boxes, points, reach, weight: float = 1.0) -> float:
    """Area (pixels²) of ``box`` over the boxes placed, plus a penalty for each point it covers
    (each point counting ``weight`` times)."""
    x0, y0, x1, y1 = box
    area = 0.0
    if boxes:
        placed = np.asarray(boxes)
        w = np.clip(np.minimum(x1, placed[:, 2]) - np.maximum(x0, placed[:, 0]), 0, None)
        h = np.clip(np.minimum(y1, placed[:, 3]) - np.maximum(y0, placed[:, 1]), 0, None)
        area = 10.0 * float((w * h).sum())  # names over names are worse than names over points
    covered = ((points[:, 0] + reach > x0) & (points[:, 0] - reach < x1)
               & (points[:, 1] + reach > y0) & (points[:, 1] - reach < y1))
    return area + 30.0 * weight * float(covered.sum())


def _outside(box, frame) -> float:
    """How far (pixels, times a weight) ``box`` reaches out of the axes."""
    x0, y0, x1, y1 = box
    return 50.0 * (max(0, frame.x0 - x0) + max(0, x1 - frame.x1) + max(0, frame.y0 - y0) + max(0, y1 - frame.y1))
def pair(data, a, b, group1=None, group2=None, *, groupby=None, groups=None, layer=None,
         method="pearson", class_alpha=0.05, other=None, other_layer=None, ax=None):
    """Scatter plot of two features in each group, with each group's correlation.

    With three ``groups`` or more (the test across groups), each group in a
    colour of its own.

    The correlations shown are the ones :func:`corrshift.ztest` reports for
    the pair (same data handling, same native arithmetic): Pearson's, or
    Spearman's with tied values at their average rank. The title gives the
    pair's class of change (the ``class`` column of :func:`corrshift.ztest`).
    Each Pearson fit line stays within its group's range of both features.
    Count data with many zeros (whole, non-negative values, a tenth or more
    of them 0) are spread by up to ±0.2 on both axes, so that stacked
    samples show how many they are; the axis labels say so, and the
    correlations and fit lines use the exact values.

    Parameters
    ----------
    data, group1, group2, groupby, groups, layer, method, class_alpha
        As in :func:`corrshift.ztest`.
    a, b : str or int
        The two features, by name or position; with ``other``, ``b`` is a
        feature of ``other``.
    other, other_layer
        A second matrix of the same samples, as in :func:`corrshift.ztest`
        (``b`` is one of its features): the pair of two modalities.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes
    """
    if many_groups(groups):
        return _pair_across_groups(data, a, b, groupby, groups, layer, method, class_alpha, ax)
    if other is None:
        prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                       features=[a, b])
        if prep.features[0] == prep.features[1]:
            raise ValueError(f"a and b are the same feature: {prep.features[0]!r}")
    else:
        prep = prepare(data, group1, group2, groupby=groupby, groups=groups, layer=layer, method=method,
                       between=([a], [b]), other=other, other_layer=other_layer)
    found = native.ztest(prep.matrix, prep.group1, prep.group2, method, "two-sided", 0, 1, between=1)
    r1, r2 = found["r1"], found["r2"]
    # The raw values, not the standardised float32 copy, go on the axes.
    columns = np.concatenate([prep.groups.first, prep.groups.second])
    if other is None:
        values = np.asarray(prep.table.read(columns, prep.rows), dtype=np.float64)
    else:
        row_b = prep.rows[1:] - len(prep.table.features)
        values = np.vstack([prep.table.read(columns, prep.rows[:1]),
                            other_values(other, other_layer, prep.table, columns, row_b).values]).astype(np.float64)
    n1 = len(prep.group1)
    counts = _are_counts(values)
    shown_values = _jitter_counts(values) if counts else values
    ax = _axes(ax, (6, 5))
    for cols, r, name, colour in ((slice(0, n1), r1[0], prep.groups.names[0], _STRONGER1),
                                  (slice(n1, None), r2[0], prep.groups.names[1], _STRONGER2)):
        x, y = values[0, cols], values[1, cols]
        shown = "undefined" if np.isnan(r) else f"{r:.3f}"
        ax.scatter(shown_values[0, cols], shown_values[1, cols], s=14, c=colour, alpha=0.6, lw=0,
                   label=f"{name} (n = {len(x)}): r = {shown}")
        if method == "pearson" and shown != "undefined":
            ax.plot(*_fit_line(x, y), c=colour, lw=1.5)
    jittered = f" (counts, jittered ±{_COUNT_JITTER:g})" if counts else ""
    ax.set_xlabel(f"{prep.features[0]}{jittered}")
    ax.set_ylabel(f"{prep.features[1]}{jittered}")
    kind = "Pearson" if method == "pearson" else "Spearman (rank)"
    change = change_classes(r1, r2, n1, len(prep.group2), class_alpha)[0]
    ax.set_title(f"{prep.features[0]} vs {prep.features[1]}: {kind} r per group (class {change})")
    ax.legend(fontsize=8, frameon=False)
    return ax


def _pair_across_groups(data, a, b, groupby, groups, layer, method, class_alpha, ax):
    """The pair plot of three groups or more: each group's samples and fit line in a colour of its own, its
    correlation as the test across groups computes it in the legend, the pair's ``class`` in the title."""
    prep = prepare_groups(data, groupby, groups, layer=layer, method=method, features=[a, b],
                          class_alpha=class_alpha)
    if prep.features[0] == prep.features[1]:
        raise ValueError(f"a and b are the same feature: {prep.features[0]!r}")
    found = native.ztest_groups(prep.matrix, prep.groups, method, 0, 1, pairs=([0], [1]))
    corr = np.array([found[f"r{g}"][0] for g in range(len(prep.groups))])
    members = labelled_positions(prep.table, groupby, tuple(groups))
    values = np.asarray(prep.table.read(np.concatenate(members), prep.rows), dtype=np.float64)
    counts = _are_counts(values)
    shown_values = _jitter_counts(values) if counts else values
    ax = _axes(ax, (6.5, 5.5))
    colours = colormaps["tab10"]
    start = 0
    for g, (label, cols, r) in enumerate(zip(prep.labels, members, corr)):
        part = slice(start, start + len(cols))
        start += len(cols)
        shown = "undefined" if np.isnan(r) else f"{r:.3f}"
        ax.scatter(shown_values[0, part], shown_values[1, part], s=12, color=colours(g % 10), alpha=0.6, lw=0,
                   label=f"{label} (n = {len(cols)}): r = {shown}")
        if method == "pearson" and shown != "undefined":
            ax.plot(*_fit_line(values[0, part], values[1, part]), color=colours(g % 10), lw=1.5)
    jittered = f" (counts, jittered ±{_COUNT_JITTER:g})" if counts else ""
    ax.set_xlabel(f"{prep.features[0]}{jittered}")
    ax.set_ylabel(f"{prep.features[1]}{jittered}")
    kind = "Pearson" if method == "pearson" else "Spearman (rank)"
    change = group_classes(corr[:, None], prep.sizes, class_alpha)[0]
    ax.set_title(f"{prep.features[0]} vs {prep.features[1]}: {kind} r per group (class {change})")
    ax.legend(fontsize=8, frameon=False)
    return ax


def _are_counts(values: np.ndarray) -> bool:
    """Whether the values look like counts with many zeros (whole, not negative, a tenth or more
    zero): dots that stack on a grid unless spread."""
    finite = values[np.isfinite(values)]
    return (finite.size > 0 and bool(np.all(finite >= 0)) and bool(np.all(finite == np.round(finite)))
            and np.mean(finite == 0) >= 0.1)


#: How far count values are spread on the pair plot's axes (a count's step is 1).
_COUNT_JITTER = 0.2


def _jitter_counts(values: np.ndarray) -> np.ndarray:
    """Counts spread by up to ±:data:`_COUNT_JITTER`, so that the many samples at 0 (and at each
    small count) show how many they are instead of stacking on one dot. Seeded: the same
    picture at every call."""
    return values + np.random.default_rng(0).uniform(-_COUNT_JITTER, _COUNT_JITTER, values.shape)


def _fit_line(x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The ends of the least-squares line of y on x, kept within the data's range of x and of y."""
    slope, intercept = np.polyfit(x, y, 1)
    lo, hi = x.min(), x.max()
    if slope != 0:
        # Where the line leaves the data's band of y.
        ends = np.sort((np.array([y.min(), y.max()]) - intercept) / slope)
        lo, hi = max(lo, ends[0]), min(hi, ends[1])
    xs = np.array([lo, hi])
    return xs, np.clip(slope * xs + intercept, y.min(), y.max())


def heatmap(results: pd.DataFrame, features=None, *, top: int = 20, alpha: float = 0.05, q: str | None = None,
            ax=None):
    """|z_diff| among the top features of a z-test table, red where the pair's correlation is
    stronger in group 1 and blue where stronger in group 2.

    Each cell is the pair's |z_diff| with the sign of the group in which
    its correlation is stronger (+ for ``|r1| > |r2|``, − for
    ``|r1| < |r2|``: see :func:`corrshift.classes.stronger_in`), the
    reading of the network's and the other plots' colours; a dot marks
    the significant pairs. A table of the pairs between two feature sets
    (``between=`` or ``other=``) is drawn as its rectangle: set A's
    features in rows, set B's in columns.

    Parameters
    ----------
    results : DataFrame
        A table from :func:`corrshift.ztest`.
    features : sequence, optional
        Features to show, in this order; between two sets, a pair of
        sequences (rows from set A, columns from set B). By default the
        first ``top`` features met in the best pairs (best first), of each
        set between two sets.
    top : int
        Number of features chosen when ``features`` is omitted.
    alpha : float
        Cells whose q-value is below ``alpha`` get a dot.
    q : {"q_permutation", "q_normal"}, optional
        The q-value that decides; by default ``q_permutation``, or
        ``q_normal`` when the table has no permutation q-values.
    ax : matplotlib Axes, optional
        Where to draw; a new figure when omitted.

    Returns
    -------
    matplotlib.axes.Axes
    """
    _check_ztest(results, ("feature_a", "feature_b", "r1", "r2", "z_diff"))
    q = _q_column(results, q)
    name1, name2 = _group_names(results)
    picked = features is None
    rectangle = results.attrs.get("features_a") is not None
    sides = ("feature_a", "feature_b") if rectangle else (["feature_a", "feature_b"],) * 2
    if picked:
        best = ranked(results[results["z_diff"].notna()])
        features = [_first_met(best, results, side, top) for side in sides]
    elif not rectangle:
        features = [list(features)] * 2
    rows, columns = (list(f) for f in features)
    where = [{f: i for i, f in enumerate(side)} for side in (rows, columns)]
    z = np.full((len(rows), len(columns)), np.nan)
    marked = np.zeros(z.shape, dtype=bool)
    inside = results["feature_a"].isin(where[0]).to_numpy() & results["feature_b"].isin(where[1]).to_numpy()
    cells = results[inside]
    signed = _signed_strength_change(cells)
    for fa, fb, value, q_value in zip(cells["feature_a"], cells["feature_b"], signed, cells[q]):
        i, j = where[0][fa], where[1][fb]
        z[i, j] = value
        marked[i, j] = q_value < alpha
        if not rectangle:
            z[j, i], marked[j, i] = value, marked[i, j]
    height, width = 3.5 + 0.32 * len(rows), 3.5 + 0.32 * len(columns)
    # Room for the column labels below a rectangle that is wider than high.
    ax = _axes(ax, (width + 1.6, max(height, 0.55 * width + 2.5) if rectangle else height))
    limit = np.nanmax(np.abs(z)) if np.isfinite(z).any() else 1.0
    cmap = colormaps["RdBu_r"].with_extremes(bad="0.8")
    image = ax.imshow(np.ma.masked_invalid(z), cmap=cmap, vmin=-limit, vmax=limit)
    ii, jj = np.nonzero(marked)
    # A dot a quarter as wide as a cell (72 points to the inch, at least 3 points).
    cell = ax.figure.get_figwidth() * 72 * 0.75 / max(len(columns), 1)
    ax.scatter(jj, ii, s=max(3.0, cell / 4) ** 2, c="black", marker="o", edgecolors="white", linewidths=0.8)
    ax.set_xticks(range(len(columns)), [str(f) for f in columns], rotation=90, fontsize=8)
    ax.set_yticks(range(len(rows)), [str(f) for f in rows], fontsize=8)
    ax.set_xlim(-0.5, len(columns) - 0.5)
    ax.set_ylim(len(rows) - 0.5, -0.5)
    # The colours' sign says the group; the ticks give |z_diff| itself.
    bar = ax.figure.colorbar(image, ax=ax, shrink=0.8, format=FuncFormatter(lambda v, _: f"{abs(v):g}"))
    # Two lines, so that the label fits beside a short map (the layout gives up on one that does not).
    bar.set_label(f"|z_diff|; red: stronger in {name1} (|r1| > |r2|),\nblue: stronger in {name2}")
    if rectangle:
        which = (f"set A's features (rows, {len(rows)} of {results.attrs['features_a']}) x set B's "
                 f"({len(columns)} of {results.attrs['features_b']})")
        if picked and len(rows) * len(columns) < len(results):
            which += "\nof the best pairs"
    else:
        n = len(rows)
        of = results.attrs.get("features")
        which = f"the {n} features of the best pairs" if picked else f"{n} features"
        which += f", of the {of} features analysed" if of else ""
    ax.set_title(f"{name1} vs {name2}: {which}\ndots: {q} < {alpha:g}; grey: no pair", fontsize=10)
    return ax


def _first_met(best: pd.DataFrame, results: pd.DataFrame, side, top: int) -> list:
    """The first ``top`` features met in the best pairs, in the column(s) ``side``, shown in the order the
    table lists them (the data's order for all pairs)."""
    chosen = set(pd.unique(best[side].to_numpy().ravel())[:top])
    listed = pd.unique(results[side].to_numpy().ravel())
    return [f for f in listed if f in chosen]


def _signed_strength_change(rows: pd.DataFrame) -> np.ndarray:
    """|z_diff|, positive where the correlation is stronger in group 1, negative where stronger in group 2
    (0 where equally strong)."""
    stronger = stronger_in(rows["r1"], rows["r2"])
    sign = np.select([stronger == STRONGER_IN_GROUP1, stronger == STRONGER_IN_GROUP2], [1.0, -1.0], 0.0)
    return sign * np.abs(rows["z_diff"].to_numpy(dtype=float))


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


def network(graph_or_table, *, max_q: float = 0.05, top: int = 300, label: int = 60, ax=None):
    """The network of significant pairs: features joined by the pairs that changed.

    Edges are red where the pair's correlation is stronger in group 1
    (``|r1| > |r2|``), blue where it is stronger in group 2 (see
    :func:`corrshift.classes.stronger_in`: the hub table counts the same
    way), thicker the larger |z_diff|; nodes are sized by their number of
    pairs. Every feature is named in networks of up to ``label`` features,
    the ``label`` with most pairs in larger ones; names are placed where
    they cover no other name or node when there is room. Each connected
    part is laid out apart from the others (Kamada-Kawai from a fixed-seed
    spring layout: the same picture at every call).

    Parameters
    ----------
    graph_or_table : networkx.Graph or DataFrame
        A graph from :func:`corrshift.network`, or a table from
        :func:`corrshift.ztest` (its significant pairs are drawn: by
        ``q_permutation``, or by ``q_normal`` when the table has no
        permutation q-values).
    max_q : float
        Largest q-value of a significant pair, when a table is given.
    top : int
        Most edges drawn: the ``top`` with the smallest q-value (then the
        largest |z_diff|); the title says when some were left out.
    label : int
        Most features named.
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
    grow = min(5.0, n / 40)
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
    r1, r2, z = (np.array([d.get(name, default) for _, _, d in shown.edges(data=True)], dtype=float)
                 for name, default in (("r1", np.nan), ("r2", np.nan), ("z_diff", 0.0)))
    lines = np.array([(where[a], where[b]) for a, b in shown.edges])
    width = 0.5 + 2.0 * np.abs(z) / max(np.nanmax(np.abs(z)), 1e-12)
    # Fainter lines where there are many, so that the crossings stay readable.
    opacity = float(np.clip(0.85 - len(lines) / 800, 0.35, 0.85))
    handles = []
    for mask, colour, text in _directions(r1, r2, name1, name2):
        ax.add_collection(LineCollection(lines[mask], colors=colour, linewidths=width[mask], alpha=opacity,
                                         zorder=1, label=text))
        handles.append(Line2D([], [], color=colour, lw=2, label=f"{text} ({mask.sum()})"))
    nodes = list(shown.nodes)
    xy = np.array([where[v] for v in nodes])
    degree = np.array([shown.degree(v) for v in nodes])
    area = 14 + 180 * degree / degree.max()
    ax.scatter(xy[:, 0], xy[:, 1], s=area, c="0.25", edgecolors="white", linewidths=0.6, zorder=2)
    ax.autoscale_view()
    ax.margins(0.08)
    # Below the drawing, where it covers no node and the long group names fit.
    ax.legend(handles=handles + [Line2D([], [], ls="", marker="o", color="0.25", label="feature (size: pairs)")],
              loc="upper center", bbox_to_anchor=(0.5, 0), ncol=2, fontsize=8, frameon=False,
              title="edges, width by |z_diff|", title_fontsize=8)
    named = np.argsort(-degree, kind="stable")[:label]
    radius = np.sqrt(area) / 2 + 1
    _place_labels(ax, xy[named], [str(nodes[i]) for i in named], xy, radii=radius, own=radius[named])
    return ax
