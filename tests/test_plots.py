"""corrshift.plot: each plot writes a PNG, shows the table's numbers and says what its colours mean."""

import numpy as np
import pandas as pd
import pytest
from matplotlib.lines import Line2D
from sample_data import sparse_counts

import corrshift
from corrshift import plot
from corrshift.classes import stronger_in
from corrshift.datasets import breast_cancer

PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(scope="module")
def analysis():
    rng = np.random.default_rng(11)
    x = rng.normal(size=(7, 60)) + 50.0
    labels = np.array(["young", "old"] * 30)
    old = labels == "old"
    x[2, old] = x[5, old] + 0.2 * rng.normal(size=old.sum())
    data = pd.DataFrame(x, index=[f"protein {c}" for c in "ABCDEFG"], columns=[f"s{i}" for i in range(60)])
    groups = dict(groupby=pd.Series(labels, index=data.columns), groups=("young", "old"))
    results = corrshift.ztest(data, permutations=999, progress=False, **groups)
    return data, groups, results


@pytest.fixture(scope="module")
def cancer():
    data, samples = breast_cancer()
    groups = dict(groupby=samples["diagnosis"], groups=("malignant", "benign"))
    with pytest.warns(corrshift.CorrshiftWarning, match="permutations are too few"):
        results = corrshift.ztest(data, permutations=999, progress=False, **groups)
    return data, groups, results


@pytest.fixture(scope="module")
def cells():
    """Single-cell-like counts, tested without permutations: q_normal decides."""
    counts, cell_type = sparse_counts()
    groups = dict(groupby=cell_type, groups=("T cell", "B cell"))
    return counts, groups, corrshift.ztest(counts, permutations=0, progress=False, **groups)


def _saved(ax, path):
    ax.figure.savefig(path)
    content = path.read_bytes()
    assert content.startswith(PNG) and len(content) > 10_000
    return content


def legend_texts(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


@pytest.mark.parametrize("which, p, q", [("cancer", "p_permutation", "q_permutation"),
                                         ("cells", "q_normal", "q_normal")])
def test_volcano_draws_the_deciding_p_value_and_where_significance_begins(request, which, p, q, tmp_path):
    _, _, results = request.getfixturevalue(which)
    name1, name2 = results.attrs["group1"], results.attrs["group2"]
    ax = plot.volcano(results, label=3)
    _saved(ax, tmp_path / "volcano.png")
    significant = results[q] < 0.05
    assert ax.get_title() == f"{name1} vs {name2}: {len(results)} pairs, {significant.sum()} with {q} < 0.05"
    assert ax.get_ylabel() == f"−log10 {p}"
    assert ax.get_xlabel() == f"z_diff = atanh r({name1}) − atanh r({name2})"
    stronger = stronger_in(results["r1"], results["r2"])
    one, two = (significant & (stronger == 1)).sum(), (significant & (stronger == 2)).sum()
    assert one + two == significant.sum()
    assert legend_texts(ax) == [f"{q} ≥ 0.05 ({(~significant).sum()})",
                                f"{q} < 0.05, stronger in {name1} (|r1| > |r2|) ({one})",
                                f"{q} < 0.05, stronger in {name2} (|r1| < |r2|) ({two})",
                                f"{q} = 0.05" if p == q else f"{q} < 0.05 from here up"]
    # Every pair on or above the dashed line is significant, every pair below it is not.
    line = [x for x in ax.lines if x.get_linestyle() == "--"]
    assert len(line) == 1
    level = line[0].get_ydata()[0]
    y = -np.log10(results[p].to_numpy())
    assert (significant == (y >= level - 1e-12)).all()
    if p == q:
        assert level == pytest.approx(-np.log10(0.05))
    best = corrshift.ranking.ranked(results[significant]).head(3)
    assert {t.get_text() for t in ax.texts} == {f"{a} – {b}" for a, b in zip(best["feature_a"], best["feature_b"])}


def test_correlations_plot_r1_against_r2_coloured_by_the_stronger_group(cancer, tmp_path):
    _, _, results = cancer
    ax = plot.correlations(results)
    _saved(ax, tmp_path / "correlations.png")
    assert ax.get_xlabel() == "r1: correlation in malignant"
    assert ax.get_ylabel() == "r2: correlation in benign"
    significant = (results["q_permutation"] < 0.05).to_numpy()
    stronger = stronger_in(results["r1"], results["r2"])
    drawn = {c.get_label(): {tuple(xy) for xy in c.get_offsets()} for c in ax.collections}
    xy = list(zip(results["r1"], results["r2"]))
    expected = {
        f"q_permutation ≥ 0.05 ({(~significant).sum()})": ~significant,
        f"q_permutation < 0.05, stronger in malignant (|r1| > |r2|) ({(significant & (stronger == 1)).sum()})":
            significant & (stronger == 1),
        f"q_permutation < 0.05, stronger in benign (|r1| < |r2|) ({(significant & (stronger == 2)).sum()})":
            significant & (stronger == 2),
    }
    for text, mask in expected.items():
        assert drawn[text] == {xy[i] for i in np.flatnonzero(mask)}
    texts = legend_texts(ax)
    assert texts[:2] == ["r1 = r2 (no change)", "r1 = −r2 (equal strength)"]
    assert list(expected) == texts[2:5] and texts[5] == "class edges: r ≠ 0 at p < 0.05"
    diagonal = ax.lines[0]
    np.testing.assert_array_equal(diagonal.get_xdata(), diagonal.get_ydata())
    assert len(ax.texts) == 8


def test_plots_of_a_table_without_permutations_decide_by_q_normal(cells):
    _, _, results = cells
    significant = (results["q_normal"] < 0.05).sum()
    assert significant > 10
    for draw in (plot.volcano, plot.correlations):
        assert draw(results).get_title().endswith(f"{significant} with q_normal < 0.05")
    assert "dots: q_normal < 0.05" in plot.heatmap(results).get_title()


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_pair_shows_the_tables_correlations(analysis, tmp_path, method):
    data, groups, results = analysis
    if method == "spearman":
        results = corrshift.ztest(data, method=method, permutations=0, progress=False, **groups)
    ax = plot.pair(data, "protein C", "protein F", method=method, **groups)
    _saved(ax, tmp_path / "pair.png")
    row = results[(results["feature_a"] == "protein C") & (results["feature_b"] == "protein F")].iloc[0]
    assert legend_texts(ax) == [f"young (n = 30): r = {row['r1']:.3f}", f"old (n = 30): r = {row['r2']:.3f}"]
    # The raw values are plotted, not the standardised copy given to the native code.
    x = ax.collections[0].get_offsets()[:, 0]
    np.testing.assert_array_equal(np.sort(x), np.sort(data.loc["protein C", groups["groupby"] == "young"]))
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("protein C", "protein F")


@pytest.mark.parametrize("which, a, b", [("cancer", "mean area", "radius error"),
                                         ("cancer", "mean area", "mean radius"),
                                         ("cells", "gene9", "gene10"), ("cells", "gene0", "gene1")])
def test_pair_fit_lines_stay_within_each_groups_data(request, which, a, b):
    data, groups, _ = request.getfixturevalue(which)
    ax = plot.pair(data, a, b, **groups)
    assert len(ax.lines) == 2
    for line, name in zip(ax.lines, groups["groups"]):
        inside = groups["groupby"].reindex(data.columns) == name
        x, y = data.loc[a, inside.to_numpy()], data.loc[b, inside.to_numpy()]
        assert x.min() <= line.get_xdata().min() and line.get_xdata().max() <= x.max()
        assert y.min() - 1e-9 <= line.get_ydata().min() and line.get_ydata().max() <= y.max() + 1e-9
        # ... and is the least-squares line, cut short rather than bent.
        slope, intercept = np.polyfit(x, y, 1)
        np.testing.assert_allclose(line.get_ydata(), slope * line.get_xdata() + intercept, atol=1e-9)


def test_pair_spreads_counts_so_that_zeros_do_not_stack(cells):
    counts, groups, _ = cells
    ax = plot.pair(counts, "gene9", "gene10", **groups)
    assert ax.get_xlabel() == "gene9 (counts, jittered ±0.2)"
    assert ax.get_ylabel() == "gene10 (counts, jittered ±0.2)"
    t_cells = (groups["groupby"] == "T cell").to_numpy()
    raw = counts.loc[["gene9", "gene10"], t_cells].to_numpy().T
    shown = ax.collections[0].get_offsets()
    assert np.abs(shown - raw).max() <= 0.2
    at_zero = shown[raw[:, 0] == 0, 0]
    assert len(at_zero) > 20 and len(np.unique(at_zero)) == len(at_zero)


def test_pair_of_two_modalities_reads_b_from_other(cancer):
    data, groups, _ = cancer
    # A second "modality": other features of the same samples, in another sample order.
    other = data.iloc[20:, ::-1].rename(index=lambda f: f"other {f}")
    ax = plot.pair(data.iloc[:20], "mean radius", "other worst area", other=other, **groups)
    table = corrshift.ztest(data.iloc[:20], other=other, permutations=0, progress=False, **groups)
    row = table.set_index(["feature_a", "feature_b"]).loc[("mean radius", "other worst area")]
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    assert labels[0].endswith(f"r = {row['r1']:.3f}") and labels[1].endswith(f"r = {row['r2']:.3f}")
    assert ax.get_ylabel() == "other worst area"
    malignant = (groups["groupby"] == "malignant").to_numpy()
    shown = ax.collections[0].get_offsets()
    assert np.array_equal(shown[:, 1], data.loc["worst area"].to_numpy()[malignant])


def test_heatmap_holds_the_strength_change_matrix(analysis, tmp_path):
    _, _, results = analysis
    features = ["protein F", "protein A", "protein C"]
    ax = plot.heatmap(results, features)
    _saved(ax, tmp_path / "heatmap.png")
    shown = ax.images[0].get_array()
    rows = results.set_index(["feature_a", "feature_b"])

    def expected(pair):
        r1, r2, z = rows.loc[pair, ["r1", "r2"]].tolist() + [rows.loc[pair, "z_diff"]]
        return abs(z) * (1 if abs(r1) > abs(r2) else -1)

    assert shown[0, 2] == shown[2, 0] == pytest.approx(expected(("protein C", "protein F")))
    assert shown[1, 0] == pytest.approx(expected(("protein A", "protein F")))
    assert shown.mask.diagonal().all()
    assert [t.get_text() for t in ax.get_yticklabels()] == features
    assert ax.get_title().startswith("young vs old: 3 features, of the 7 features analysed\n")


def test_heatmap_of_two_feature_sets_is_their_rectangle(cancer, tmp_path):
    data, groups, _ = cancer
    a = ["mean radius", "mean texture", "mean area", "mean smoothness"]
    b = [f for f in data.index if f.startswith("worst")]
    results = corrshift.ztest(data, between=(a, b), permutations=0, progress=False, **groups)
    ax = plot.heatmap(results, top=3)
    _saved(ax, tmp_path / "rectangle.png")
    rows = [t.get_text() for t in ax.get_yticklabels()]
    columns = [t.get_text() for t in ax.get_xticklabels()]
    assert len(rows) == 3 and set(rows) <= set(a) and len(columns) == 3 and set(columns) <= set(b)
    shown = ax.images[0].get_array()
    cells = results.set_index(["feature_a", "feature_b"])
    for i, fa in enumerate(rows):
        for j, fb in enumerate(columns):
            r1, r2, z = cells.loc[(fa, fb), ["r1", "r2", "z_diff"]]
            assert shown[i, j] == pytest.approx(abs(z) * (1 if abs(r1) > abs(r2) else -1))
    assert "set A's features (rows, 3 of 4) x set B's (3 of 10)" in ax.get_title()
    # Given features: rows from set A, columns from set B.
    ax = plot.heatmap(results, (a[:2], b))
    assert ax.images[0].get_array().shape == (2, 10)


def test_heatmap_picks_the_features_of_the_best_pairs_and_marks_them_readably(cancer):
    _, _, results = cancer
    ax = plot.heatmap(results, top=20)
    labels = [t.get_text() for t in ax.get_xticklabels()]
    assert len(labels) == 20
    assert ax.get_title().startswith("malignant vs benign: the 20 features of the best pairs, "
                                     "of the 30 features analysed")
    dots = ax.collections[0]
    # Each significant pair among the shown features is a dot, on both sides of the diagonal.
    inside = results["feature_a"].isin(labels) & results["feature_b"].isin(labels)
    assert len(dots.get_offsets()) == 2 * (inside & (results["q_permutation"] < 0.05)).sum()
    assert dots.get_sizes()[0] >= 36  # at least 6 points across


def test_plots_refuse_a_score_table(analysis):
    data, groups, _ = analysis
    scores = corrshift.score(data, permutations=9, progress=False, **groups)
    for draw in (plot.volcano, plot.heatmap, plot.correlations):
        with pytest.raises(ValueError, match="pass a table from corrshift.ztest"):
            draw(scores)


@pytest.mark.parametrize("call, message", [
    (lambda t: plot.volcano(t, p="p"), 'p must be "p_permutation", "q_normal", "p_normal" or "q_permutation"'),
    (lambda t: plot.volcano(t, q="p_normal"), 'q must be "q_normal" or "q_permutation"'),
    (lambda t: plot.correlations(t, q="q"), 'q must be "q_normal" or "q_permutation"'),
    (lambda t: plot.heatmap(t.drop(columns=["q_permutation", "q_normal"])), "no q-values"),
])
def test_plots_refuse_unknown_columns(analysis, call, message):
    with pytest.raises(ValueError, match=message):
        call(analysis[2])


@pytest.mark.parametrize("p, line", [("p_permutation", False), ("q_permutation", True)])
def test_volcano_without_significant_pairs(analysis, p, line):
    # On the p-value's axis nothing marks where significance would begin; on the q-value's, alpha does.
    ax = plot.volcano(analysis[2], p=p, alpha=1e-9)
    assert [x.get_ydata()[0] for x in ax.lines if x.get_linestyle() == "--"] == ([9.0] if line else [])
    assert len(ax.texts) == 0


@pytest.fixture(scope="module")
def three_ages():
    """Three groups; gene1 follows gene0 in the old only, gene3 follows -gene2 in the young only."""
    rng = np.random.default_rng(2)
    n = 40
    labels = np.repeat(["young", "middle", "old"], n)
    x = rng.normal(size=(8, 3 * n))
    x[1] = np.where(labels == "old", x[0] + 0.3 * rng.normal(size=3 * n), x[1])
    x[3] = np.where(labels == "young", -x[2] + 0.4 * rng.normal(size=3 * n), x[3])
    data = pd.DataFrame(x, index=[f"gene{i}" for i in range(8)], columns=[f"s{i}" for i in range(3 * n)])
    groups = dict(groupby=labels, groups=["young", "middle", "old"])
    return data, groups, corrshift.ztest(data, permutations=999, progress=False, **groups)


def test_correlations_across_groups_show_each_groups_r_of_the_best_pairs(three_ages, tmp_path):
    _, _, results = three_ages
    ax = plot.correlations(results, label=2)
    _saved(ax, tmp_path / "groups.png")
    shown = ax.images[0].get_array()
    names = [t.get_text() for t in ax.get_yticklabels()]
    assert names[:2] == ["gene0 – gene1", "gene2 – gene3"] and len(names) == 6
    best = results.set_index(["feature_a", "feature_b"]).loc[("gene0", "gene1")]
    assert list(shown[0]) == pytest.approx([best["r_young"], best["r_middle"], best["r_old"]])
    assert [t.get_text() for t in ax.get_xticklabels()] == ["young", "middle", "old"]
    assert len(ax.collections[0].get_offsets()) == (results["q_permutation"] < 0.05).sum() == 2
    for draw in (plot.volcano, plot.heatmap):
        with pytest.raises(ValueError, match="across three groups"):
            draw(results)


def test_pair_across_groups_shows_each_groups_correlation(three_ages, tmp_path):
    data, groups, results = three_ages
    ax = plot.pair(data, "gene0", "gene1", **groups)
    _saved(ax, tmp_path / "pair.png")
    row = results.set_index(["feature_a", "feature_b"]).loc[("gene0", "gene1")]
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    for text, group in zip(labels, groups["groups"]):
        assert text == f"{group} (n = 40): r = {row['r_' + group]:.3f}"
    assert ax.get_title().endswith(f"(class {row['class']})")
    old = groups["groupby"] == "old"
    assert np.array_equal(ax.collections[2].get_offsets()[:, 0], data.loc["gene0"].to_numpy()[old])

