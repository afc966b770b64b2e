"""An AnnData's .raw (use_raw=, --use-raw, key_added=), and min_cells on scaled data."""

import re
import warnings

import anndata
import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.anndata_io import load_result
from corrshift.cli import main

QUIET = dict(permutations=19, progress=False)
GROUPS = dict(groupby="group", groups=("a", "b"))


def _adata():
    """Counts of 8 genes in 30 cells (.raw, many zeros), and .X scaled: 5 of the genes, centred per gene."""
    rng = np.random.default_rng(6)
    counts = rng.poisson(0.8, size=(30, 8)).astype(np.float32)
    genes = [f"G{i}" for i in range(8)]
    obs = pd.DataFrame({"group": ["a", "b", "c"] * 10}, index=[f"c{j:02d}" for j in range(30)])
    raw = anndata.AnnData(counts, obs=obs, var=pd.DataFrame(index=genes))
    scaled = counts[:, :5] - counts[:, :5].mean(axis=0)
    adata = anndata.AnnData(scaled, obs=obs, var=pd.DataFrame(index=genes[:5]))
    adata.raw = raw
    return adata


@pytest.mark.parametrize("test", [corrshift.ztest, corrshift.score])
def test_use_raw_analyses_the_raw_matrix_and_genes(test):
    adata = _adata()
    table = test(adata, **GROUPS, **QUIET, use_raw=True)
    pd.testing.assert_frame_equal(table, test(adata.raw, **GROUPS, **QUIET))
    frame = pd.DataFrame(adata.raw.X.T, index=adata.raw.var_names, columns=adata.obs_names)
    pd.testing.assert_frame_equal(table, test(frame, groupby=adata.obs["group"], groups=("a", "b"), **QUIET))
    assert len(test(adata, **GROUPS, **QUIET).iloc[:, 0].cat.categories) == 5  # .X: its own 5 genes


@pytest.mark.parametrize("data, options, message", [
    (lambda a: anndata.AnnData(a.X, obs=a.obs), {}, "use_raw=True, but the AnnData has no .raw"),
    (lambda a: a, dict(layer="counts"), "use_raw=True and layer='counts' do not go together"),
    (lambda a: pd.DataFrame(a.X.T), {}, "use_raw=True analyses an AnnData's .raw: data must be an AnnData"),
    (lambda a: a, dict(use_raw="yes"), "use_raw must be True or False; got 'yes'"),
])
def test_use_raw_needs_an_anndata_with_raw(data, options, message):
    adata = _adata()
    adata.layers["counts"] = adata.X
    with pytest.raises(ValueError, match=message):
        corrshift.ztest(data(adata), **{"use_raw": True, **GROUPS, **QUIET, **options})


@pytest.mark.parametrize("how", [dict(data=lambda a: a.raw), dict(data=lambda a: a, use_raw=True)])
def test_key_added_with_raw_keeps_the_result_in_the_anndata(how, tmp_path):
    adata = _adata()
    data = how["data"](adata)
    options = {**GROUPS, **QUIET, **({"use_raw": True} if "use_raw" in how else {})}
    assert corrshift.score(data, key_added="dc", **options) is not None
    pairs = corrshift.ztest(data, key_added="pairs", **options)
    scores = corrshift.score(adata, **GROUPS, **QUIET, use_raw=True)
    adata.write_h5ad(tmp_path / "kept.h5ad")
    back = anndata.read_h5ad(tmp_path / "kept.h5ad")
    pd.testing.assert_frame_equal(load_result(back, "dc"), scores, check_dtype=False, check_categorical=False)
    pd.testing.assert_frame_equal(load_result(back, "pairs"), pairs, check_dtype=False, check_categorical=False)
    # Per-gene columns: on .raw.var, whose 8 genes were scored; .var (5 genes) is left alone.
    np.testing.assert_allclose(back.raw.var["dc_score"], scores["score"], rtol=1e-6)
    assert not any(c.startswith("dc_") for c in back.var.columns)


def _warned(data, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        corrshift.ztest(data, **GROUPS, **QUIET, **options)
    return [str(w.message) for w in caught if "counts the samples where a feature is non-zero" in str(w.message)]


def _shifted(adata, zeros):
    """Counts + 1 (no zeros), then ``zeros`` zeros in cell c00 (group a): of the 160 analysed values."""
    x = adata.raw.X + 1.0
    x[0, :zeros] = 0.0
    return anndata.AnnData(x, obs=adata.obs)


@pytest.mark.parametrize("change, options, warned", [
    (lambda a: a, dict(min_cells=3), "has negative values"),  # scaled .X
    (lambda a: a, dict(min_cells=0.1, use_raw=True), None),  # counts, many zeros
    (lambda a: a, {}, None),  # no min_cells, nothing to say
    (lambda a: _shifted(a, 0), dict(min_cells=3), r"almost no zeros \(0\.00% of the analysed values\)"),
    (lambda a: _shifted(a, 1), dict(min_cells=3), r"almost no zeros \(0\.62% of the analysed values\)"),
    (lambda a: _shifted(a, 2), dict(min_cells=3), None),  # 1.25% zeros: sparse enough
])
def test_min_cells_on_scaled_data_is_warned_about(change, options, warned):
    said = _warned(change(_adata()), **options)
    if warned is None:
        assert said == []
    else:
        assert len(said) == 1 and re.search(warned, said[0]) and "use_raw=True, --use-raw" in said[0]


def test_command_line_use_raw(tmp_path, capsys):
    adata = _adata()
    adata.write_h5ad(tmp_path / "cells.h5ad")
    argv = ["ztest", str(tmp_path / "cells.h5ad"), "--by", "group", "--compare", "a", "b", "--permutations", "19"]
    assert main([*argv, "--use-raw", "--out", str(tmp_path / "raw.tsv")]) == 0
    written = pd.read_csv(tmp_path / "raw.tsv", sep="\t")
    expected = corrshift.ztest(adata, **GROUPS, **QUIET, use_raw=True)
    assert len(written) == len(expected) == 28
    capsys.readouterr()
    adata.raw = None
    adata.write_h5ad(tmp_path / "bare.h5ad")
    assert main(["ztest", str(tmp_path / "bare.h5ad"), *argv[2:], "--use-raw"]) == 2
    assert "--use-raw: " in capsys.readouterr().err
    assert main([*argv, "--use-raw", "--layer", "counts"]) == 2
    assert "not with --layer" in capsys.readouterr().err
