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
    tmp_path.mkdir(exist_ok=True)
    adata.write_h5ad(tmp_path / "data.h5ad")
    return anndata.read_h5ad(tmp_path / "data.h5ad")


def test_pair_table_and_parameters_round_trip(results, tmp_path):
    adata, pairs, _ = results
    adata = adata.copy()
    store_result(adata, pairs, "dc", PARAMS)
    back = round_trip(adata, tmp_path)
    table = load_result(back, "dc")
    pd.testing.assert_frame_equal(table, pairs)
    _assert_same_types(table, pairs)
    assert table.attrs == pairs.attrs
    params = back.uns["dc"]["params"]
    # None has no h5ad form: left out, so .get gives it back.
    assert params.get("strata") is None and "strata" not in params
    assert list(params["groups"]) == ["healthy", "sick"]
    assert {k: params[k] for k in ("method", "permutations", "class_alpha", "center")} == \
        {"method": "spearman", "permutations": 99, "class_alpha": 0.05, "center": True}
    assert not any(c.startswith("dc_") for c in back.var.columns)


def _assert_same_types(table, expected):
    assert table.dtypes.equals(expected.dtypes)
    for column in expected.columns:
        if isinstance(expected[column].dtype, pd.CategoricalDtype):
            assert table[column].cat.codes.dtype == expected[column].cat.codes.dtype
            assert table[column].cat.categories.dtype == expected[column].cat.categories.dtype


def _as_text(adata, key):
    """The result under ``key`` with its categorical columns stored as their labels, as results were before
    they were stored as codes."""
    stored = dict(adata.uns[key])
    table = load_result(adata, key)
    stored["table"] = {c: table[c].astype(str).to_numpy(dtype=object) if c in stored["categories"]
                       else values for c, values in stored["table"].items()}
    return stored


@pytest.fixture(scope="module")
def large_result():
    """A z-test result of a few thousand rows (80 genes with Ensembl-like names) stored under "dc"."""
    rng = np.random.default_rng(7)
    adata = anndata.AnnData(rng.normal(size=(30, 80)).astype(np.float32),
                            obs=pd.DataFrame({"condition": ["healthy", "sick"] * 15},
                                             index=[f"cell{i}" for i in range(30)]),
                            var=pd.DataFrame(index=[f"ENSG{i:011d}" for i in range(80)]))
    table = corrshift.ztest(adata, groupby="condition", groups=("healthy", "sick"), permutations=19, progress=False,
                            key_added="dc")
    return adata, table


def test_a_large_table_is_stored_compactly_and_comes_back_equal(large_result, tmp_path):
    adata, table = large_result
    assert len(table) == 3160
    stored = adata.uns["dc"]["table"]
    assert stored["feature_a"].dtype == np.int8 and stored["class"].dtype == np.int8
    assert stored["r1"].dtype == np.float32 and stored["q_permutation"].dtype == np.float64
    back = round_trip(adata, tmp_path)
    loaded = load_result(back, "dc")
    pd.testing.assert_frame_equal(loaded, table, check_exact=True)
    _assert_same_types(loaded, table)
    # The same result with its names and classes as text, as results were stored before: it still
    # loads, and its file is several times larger.
    as_text = adata.copy()
    as_text.uns["dc"] = _as_text(adata, "dc")
    pd.testing.assert_frame_equal(load_result(round_trip(as_text, tmp_path / "text"), "dc"), table)
    assert (tmp_path / "data.h5ad").stat().st_size * 2 < (tmp_path / "text" / "data.h5ad").stat().st_size


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
