"""corrshift.plot: each plot writes a PNG and shows the table's numbers."""

import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift import plot

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


def _saved(ax, path):
    ax.figure.savefig(path)
    content = path.read_bytes()
    assert content.startswith(PNG) and len(content) > 10_000
    return content


def test_volcano(analysis, tmp_path):
    _, _, results = analysis
    ax = plot.volcano(results, label=3)
    _saved(ax, tmp_path / "volcano.png")
    significant = (results["q_permutation"] < 0.05).sum()
    assert ax.get_title() == f"young vs old: 21 pairs, {significant} with q_permutation < 0.05"
    assert "protein C – protein F" in [t.get_text() for t in ax.texts]
    assert ax.get_xlabel() == "z_diff = atanh r(young) − atanh r(old)"


@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_pair_shows_the_tables_correlations(analysis, tmp_path, method):
    data, groups, results = analysis
    if method == "spearman":
        results = corrshift.ztest(data, method=method, permutations=0, progress=False, **groups)
    ax = plot.pair(data, "protein C", "protein F", method=method, **groups)
    _saved(ax, tmp_path / "pair.png")
    row = results[(results["feature_a"] == "protein C") & (results["feature_b"] == "protein F")].iloc[0]
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert legend == [f"young (n = 30): r = {row['r1']:.3f}", f"old (n = 30): r = {row['r2']:.3f}"]
    # The raw values are plotted, not the standardised copy given to the native code.
    x = ax.collections[0].get_offsets()[:, 0]
    np.testing.assert_array_equal(np.sort(x), np.sort(data.loc["protein C", groups["groupby"] == "young"]))


def test_heatmap_holds_the_z_diff_matrix(analysis, tmp_path):
    _, _, results = analysis
    features = ["protein F", "protein A", "protein C"]
    ax = plot.heatmap(results, features)
    _saved(ax, tmp_path / "heatmap.png")
    shown = ax.images[0].get_array()
    z = results.set_index(["feature_a", "feature_b"])["z_diff"]
    assert shown[0, 2] == shown[2, 0] == z[("protein C", "protein F")]
    assert shown[1, 0] == z[("protein A", "protein F")]
    assert shown.mask.diagonal().all()
    assert [t.get_text() for t in ax.get_yticklabels()] == features


def test_heatmap_picks_the_features_of_the_best_pairs(analysis):
    _, _, results = analysis
    ax = plot.heatmap(results, top=4)
    labels = [t.get_text() for t in ax.get_xticklabels()]
    assert len(labels) == 4 and {"protein C", "protein F"} <= set(labels)


def test_plots_refuse_a_score_table(analysis):
    data, groups, _ = analysis
    scores = corrshift.score(data, permutations=9, progress=False, **groups)
    with pytest.raises(ValueError, match="pass a table from corrshift.ztest"):
        plot.volcano(scores)
    with pytest.raises(ValueError, match="pass a table from corrshift.ztest"):
        plot.heatmap(scores)
