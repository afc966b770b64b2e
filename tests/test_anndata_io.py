"""corrshift.anndata_io: results kept in an AnnData survive an h5ad file."""

import anndata
import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.anndata_io import load_result, store_result
from corrshift.classes import change_classes

PARAMS = {"method": "spearman", "permutations": 99, "groupby": "condition", "groups": ("healthy", "sick"),
          "strata": None, "class_alpha": 0.05, "center": True}


@pytest.fixture(scope="module")
def results():
    rng = np.random.default_rng(2)
    x = rng.normal(size=(40, 6))
    x[20:, 1] = x[20:, 0] + 0.1 * rng.normal(size=20)
    adata = anndata.AnnData(x, obs=pd.DataFrame({"condition": ["healthy"] * 20 + ["sick"] * 20},
                                                index=[f"cell{i}" for i in range(40)]),
                            var=pd.DataFrame(index=[f"G{i}" for i in range(6)]))
    options = dict(groupby="condition", groups=("healthy", "sick"), method="spearman", permutations=99,
                   progress=False)
    pairs = corrshift.ztest(adata, **options)
    pairs["class"] = change_classes(pairs["r1"], pairs["r2"], 20, 20)
    return adata, pairs, corrshift.score(adata, **options)


def round_trip(adata, tmp_path):
    adata.write_h5ad(tmp_path / "data.h5ad")
    return anndata.read_h5ad(tmp_path / "data.h5ad")


def test_pair_table_and_parameters_round_trip(results, tmp_path):
    adata, pairs, _ = results
    adata = adata.copy()
    store_result(adata, pairs, "dc", PARAMS)
    back = round_trip(adata, tmp_path)
    table = load_result(back, "dc")
    pd.testing.assert_frame_equal(table, pairs)
    assert table.attrs == pairs.attrs
    params = back.uns["dc"]["params"]
    # None has no h5ad form: left out, so .get gives it back.
    assert params.get("strata") is None and "strata" not in params
    assert list(params["groups"]) == ["healthy", "sick"]
    assert {k: params[k] for k in ("method", "permutations", "class_alpha", "center")} == \
        {"method": "spearman", "permutations": 99, "class_alpha": 0.05, "center": True}
    assert not any(c.startswith("dc_") for c in back.var.columns)


def test_gene_scores_go_to_var_by_name(results, tmp_path):
    adata, _, scores = results
    adata = adata.copy()
    # Some genes unscored, the rest listed in another order than var_names.
    part = scores.iloc[[4, 0, 2]]
    store_result(adata, part, "dc", PARAMS)
    back = round_trip(adata, tmp_path)
    for column in ("score", "p_permutation", "q_permutation"):
        expected = part.set_index("feature")[column].reindex(back.var_names).to_numpy()
        np.testing.assert_array_equal(back.var[f"dc_{column}"].to_numpy(), expected)
    assert back.var["dc_score"].isna().sum() == 3
    pd.testing.assert_frame_equal(load_result(back, "dc"), part.reset_index(drop=True), check_index_type=False)


def test_a_pair_table_under_the_same_key_drops_the_old_gene_columns(results):
    adata, pairs, scores = results
    adata = adata.copy()
    adata.var["dc_other"] = 1.0
    store_result(adata, scores, "dc", PARAMS)
    store_result(adata, pairs, "dc", PARAMS)
    assert list(adata.var.columns) == ["dc_other"]


@pytest.mark.parametrize("change, message", [
    (lambda s: s.assign(feature=s["feature"].astype(str).replace("G1", "NOT A GENE")), "1 genes not in adata.var_names"),
    (lambda s: pd.concat([s, s.iloc[[0]]]), "more than once: 'G0'"),
])
def test_score_tables_of_other_genes_are_refused(results, change, message):
    adata, _, scores = results
    with pytest.raises(ValueError, match=message):
        store_result(adata.copy(), change(scores), "dc")


def test_loading_a_key_never_stored(results):
    with pytest.raises(KeyError, match="no corrshift result under 'dc'"):
        load_result(results[0], "dc")
