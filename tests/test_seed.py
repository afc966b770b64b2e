"""seed= (--seed): the same seed the same table, another seed other permutations; the seed is recorded."""

import anndata
import numpy as np
import pandas as pd
import pytest

import corrshift
from corrshift.cli import main

pytestmark = pytest.mark.filterwarnings("ignore::corrshift.CorrshiftWarning")

QUIET = dict(permutations=199, progress=False)
SETS = {"s": ["f0", "f1", "f2", "f3"], "t": ["f4", "f5", "f6"]}


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(9)
    x = rng.normal(size=(9, 36))
    x[1, :18] = x[0, :18] + 0.8 * rng.normal(size=18)
    return pd.DataFrame(x, index=[f"f{i}" for i in range(9)], columns=[f"s{j}" for j in range(36)])


GROUPS = dict(group1=range(18), group2=range(18, 36))
CASES = [
    (corrshift.ztest, {}),
    (corrshift.ztest, dict(pairs=[("f0", "f1"), ("f5", "f2"), ("f3", "f4")])),
    (corrshift.ztest, dict(strata=np.tile(["x", "y"], 18))),
    (corrshift.score, {}),
    (corrshift.score, dict(sets=SETS)),
]


def _run(frame, test, options, **more):
    return test(frame, **GROUPS, **QUIET, **options, **more)


@pytest.mark.parametrize("test, options", CASES)
def test_the_same_seed_gives_the_same_table_another_seed_other_permutations(frame, test, options):
    table = _run(frame, test, options, seed=12345)
    pd.testing.assert_frame_equal(_run(frame, test, options, seed=12345, threads=1), table)
    pd.testing.assert_frame_equal(_run(frame, test, options), _run(frame, test, options, seed=733))
    other = _run(frame, test, options, seed=12346)
    statistic = "z_diff" if "z_diff" in table.columns else "score"
    pd.testing.assert_series_equal(other[statistic], table[statistic])  # the observed values do not move
    assert (other["p_permutation"] != table["p_permutation"]).any()
    assert table.attrs["seed"] == 12345 and other.attrs["seed"] == 12346
    assert _run(frame, test, options).attrs["seed"] == 733  # None: the default stream, recorded as such


@pytest.mark.parametrize("test", [corrshift.ztest, corrshift.score])
def test_chunks_and_their_seed(frame, test):
    # A chunked run deals each chunk with the run's seed: the table of one call.
    whole = _run(frame, test, {}, seed=99)
    pd.testing.assert_frame_equal(_run(frame, test, {}, seed=99, chunk_pairs=4), whole)
    assert not _run(frame, test, {}, chunk_pairs=4)["p_permutation"].equals(whole["p_permutation"])


@pytest.mark.parametrize("out", ["table.parquet", "dataset"])
def test_parquet_files_record_the_seed(frame, tmp_path, out):
    assert _run(frame, corrshift.ztest, {}, seed=5, out=tmp_path / out) is None
    attrs = pd.read_parquet(tmp_path / out).attrs
    assert attrs["seed"] == 5 and attrs["permutations"] == 199 and attrs["test"] == "ztest"


def test_anndata_keeps_the_seed_with_the_parameters(frame):
    adata = anndata.AnnData(frame.T.to_numpy(), obs=pd.DataFrame(index=frame.columns),
                            var=pd.DataFrame(index=frame.index))
    corrshift.score(adata, **GROUPS, **QUIET, seed=42, key_added="dc")
    assert adata.uns["dc"]["params"]["seed"] == 42 and adata.uns["dc"]["attrs"]["seed"] == 42


@pytest.mark.parametrize("seed, message", [
    (-1, "seed must be between 0 and 4294967295; got -1"),
    (1 << 32, "seed must be between 0 and 4294967295"),
    (1.5, "seed must be a whole number; got 1.5"),
    (True, "seed must be a whole number; got True"),
])
def test_bad_seeds(frame, seed, message):
    with pytest.raises(ValueError, match=message):
        _run(frame, corrshift.ztest, {}, seed=seed)


def test_command_line_seed(frame, tmp_path, capsys):
    frame.to_csv(tmp_path / "data.tsv", sep="\t")
    pd.Series(["a"] * 18 + ["b"] * 18, index=pd.Index(frame.columns, name="sample"), name="g").to_frame().to_csv(
        tmp_path / "samples.tsv", sep="\t")
    argv = ["ztest", str(tmp_path / "data.tsv"), "--groups", str(tmp_path / "samples.tsv"), "--by", "g",
            "--compare", "a", "b", "--permutations", "199", "--seed", "12345"]
    assert main([*argv, "--out", str(tmp_path / "r.parquet")]) == 0
    assert "199 permutations (seed 12345)" in capsys.readouterr().out
    written = pd.read_parquet(tmp_path / "r.parquet")
    expected = _run(frame, corrshift.ztest, {}, seed=12345).set_index(["feature_a", "feature_b"])
    got = written.set_index(["feature_a", "feature_b"]).loc[expected.index]
    np.testing.assert_array_equal(got["p_permutation"], expected["p_permutation"])
    assert written.attrs["seed"] == 12345
    assert main([*argv[:-1], "-3"]) == 2
    assert "argument --seed: -3 is not between 0 and 4294967295" in capsys.readouterr().err
