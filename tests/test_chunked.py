"""The chunk engine: pairs in chunks give the single native call's values.

Every chunked run is compared bit for bit with one native call over the same
pairs; reductions (top rows, p-value threshold, Parquet dataset) are compared
with the same reduction done on the full table.
"""

import dataclasses
import os
import subprocess
import sys

import numpy as np
import pytest
import scipy.stats

from corrshift import chunk_engine as chunked, native
from corrshift.analyses import ANALYSES, SCORE, ZTEST
from corrshift.chunk_engine import Job, run_chunks
from corrshift.parquet_sink import parquet_sink

FEATURES, SAMPLES = 23, 36
PERMUTATIONS = 6  # few permutations: many tied p-values for the top-k order
GROUP1 = np.arange(0, 14, dtype=np.int32)
GROUP2 = np.arange(14, 28, dtype=np.int32)
CONSTANT = 5  # a feature without variance in group 1: its correlations there are undefined (NaN)
UNDEFINED = np.arange(FEATURES) == CONSTANT


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    x = rng.normal(size=(FEATURES, SAMPLES)).astype(np.float32)
    x[3] = x[2] * 0.5 + x[3] * 0.5  # some correlation worth finding
    x[CONSTANT, GROUP1] = 1.5  # its pairs' z_diff is large: they would top the list if tested
    return x


def given_ztest_pairs():
    rng = np.random.default_rng(11)
    first = rng.integers(0, FEATURES, 150)
    second = (first + rng.integers(1, FEATURES, 150)) % FEATURES  # never the same feature; both orders
    first[40], second[40] = first[10], second[10]  # a pair listed twice
    return first.astype(np.int32), second.astype(np.int32)


def given_score_pairs():
    # Sorted by first feature; runs of 1 to 20 pairs, features without runs.
    rng = np.random.default_rng(12)
    first = np.sort(rng.choice(np.arange(0, FEATURES, 2), 120)).astype(np.int32)
    second = ((first + rng.integers(1, FEATURES, 120)) % FEATURES).astype(np.int32)
    return first, second


def make_job(test, method="pearson", alternative="two-sided", aggregate="mean", top=None, max_p=None,
             exclude=None):
    return Job(analysis=ANALYSES[test], features=0, group1=GROUP1, group2=GROUP2, method=method, alternative=alternative,
               aggregate=aggregate if test == "score" else None, permutations=PERMUTATIONS, threads=2,
               top=top, max_p=max_p, exclude=exclude)


def single_call(data, job, pairs):
    """The full table from one native call (over all pairs: the exhaustive one)."""
    if job.analysis is ZTEST:
        return native.ztest(data, GROUP1, GROUP2, job.method, job.alternative, job.permutations, 2, pairs=pairs)
    return native.score(data, GROUP1, GROUP2, job.method, job.aggregate, job.alternative, job.permutations, 2,
                        pairs=pairs, exclude=job.exclude)


def pvalues(full):
    stat = full["z_diff"] if "z_diff" in full else full["score"]
    p = (full["extreme"].astype(np.float64) + 1) / (full["valid"] + 1.0)
    p[np.isnan(stat)] = np.nan
    return p


def assert_same_rows(actual, expected):
    assert list(actual) == list(expected)
    for name in expected:
        a, e = np.asarray(actual[name]), np.asarray(expected[name])
        assert a.dtype == e.dtype, name
        assert np.array_equal(a.view(np.uint32) if a.dtype == np.float32 else a,
                              e.view(np.uint32) if e.dtype == np.float32 else e), name


def key_sorted(full):
    """Row numbers of the full table sorted as the top rows are ranked: untested rows last."""
    stat = full["z_diff"] if "z_diff" in full else full["score"]
    p = pvalues(full)
    p_normal = full.get("p_normal", np.zeros(len(stat)))

    def key(row):
        if np.isnan(stat[row]):
            return (True, 0, 0, 0, row)
        return (False, p[row], p_normal[row], -abs(float(stat[row])), row)

    return sorted(range(len(stat)), key=key)


PAIRS = {"all": None, "given-ztest": given_ztest_pairs(), "given-score": given_score_pairs()}

ZTEST_CASES = [
    (method, pairs, chunk)
    for method in ("pearson", "spearman")
    for pairs in ("all", "given-ztest")
    for chunk in (1, 7, 64, 10**6)
]
SCORE_CASES = [
    ("pearson", "mean", "two-sided", "all", 1, None),
    ("pearson", "median", "greater", "all", 45, UNDEFINED),
    ("spearman", "mean", "less", "all", 100, UNDEFINED),
    ("spearman", "median", "two-sided", "all", 10**6, None),
    ("pearson", "mean", "two-sided", "given-score", 1, UNDEFINED),
    ("pearson", "median", "less", "given-score", 13, None),
    ("spearman", "median", "greater", "given-score", 30, UNDEFINED),
    ("spearman", "mean", "two-sided", "given-score", 10**6, None),
]


@pytest.mark.parametrize("method,pairs,chunk", ZTEST_CASES)
def test_ztest_chunks_equal_single_call(data, method, pairs, chunk):
    job = make_job("ztest", method)
    result = run_chunks(data, GROUP1, GROUP2, job, pairs=PAIRS[pairs], chunk_pairs=chunk)
    assert_same_rows(result.columns, single_call(data, job, PAIRS[pairs]))
    assert (result.chunks > 1) == (chunk < 10**6)


@pytest.mark.parametrize("method,aggregate,alternative,pairs,chunk,exclude", SCORE_CASES)
def test_score_chunks_equal_single_call(data, method, aggregate, alternative, pairs, chunk, exclude):
    # With the constant feature excluded, the single call over all pairs
    # leaves its row out of the matrix, the chunks leave out its pairs.
    job = make_job("score", method, alternative, aggregate, exclude=exclude)
    result = run_chunks(data, GROUP1, GROUP2, job, pairs=PAIRS[pairs], chunk_pairs=chunk)
    assert_same_rows(result.columns, single_call(data, job, PAIRS[pairs]))
    assert (result.chunks > 1) == (chunk < 10**6)


@pytest.mark.parametrize("test,chunk", [("ztest", 1), ("ztest", 40), ("score", 1), ("score", 60)])
def test_chunks_cover_every_pair_once(test, chunk):
    analysis = ANALYSES[test]
    pairs = [chunked.block_pairs(c.lo, c.hi, FEATURES, analysis.per_feature)
             for c in chunked.plan_all_pairs(FEATURES, analysis, chunk)]
    first = np.concatenate([p[0] for p in pairs])
    second = np.concatenate([p[1] for p in pairs])
    if test == "ztest":
        expected = np.triu_indices(FEATURES, 1)
    else:
        expected = np.nonzero(~np.eye(FEATURES, dtype=bool))
    assert np.array_equal(first, expected[0]) and np.array_equal(second, expected[1])


def test_score_chunks_never_split_a_run():
    first = np.array([0, 0, 0, 0, 0, 2, 3, 3, 7], dtype=np.int32)
    plan = chunked.plan_given_pairs(first, SCORE, 2)
    assert [(c.lo, c.hi, c.row) for c in plan] == [(0, 5, 0), (5, 6, 1), (6, 8, 2), (8, 9, 3)]


def test_score_over_unsorted_pairs_is_refused(data):
    pairs = (np.array([2, 1], dtype=np.int32), np.array([0, 0], dtype=np.int32))
    with pytest.raises(ValueError, match="sorted by first feature"):
        run_chunks(data, GROUP1, GROUP2, make_job("score"), pairs=pairs)


@pytest.mark.parametrize("bad,message", [
    (dict(chunk_pairs=0), "chunk_pairs"),
    (dict(job=make_job("ztest", top=0)), "top must be at least 1"),
    (dict(job=make_job("ztest", top=3), sink=lambda i, c: None), "cannot stream"),
])
def test_bad_run_options(data, bad, message):
    options = dict(job=make_job("ztest"))
    options.update(bad)
    with pytest.raises(ValueError, match=message):
        run_chunks(data, GROUP1, GROUP2, **options)


def test_matrix_must_be_prepared(data):
    with pytest.raises(ValueError, match="C-contiguous 2-D float32"):
        run_chunks(np.asfortranarray(data), GROUP1, GROUP2, make_job("ztest"))


@pytest.mark.parametrize("test,alternative,pairs,top,chunk", [
    ("ztest", "two-sided", "all", 1, 5),
    ("ztest", "two-sided", "all", 17, 30),
    ("ztest", "greater", "all", 60, 30),  # normal p-values no longer follow |z_diff|
    ("ztest", "less", "given-ztest", 40, 9),
    ("ztest", "two-sided", "all", 300, 50),  # more than the tested pairs: untested rows come last
    ("score", "two-sided", "all", 4, 40),
    ("score", "greater", "given-score", 3, 10),
])
def test_top_rows_equal_sorting_the_full_table(data, test, alternative, pairs, top, chunk):
    full = single_call(data, make_job(test, alternative=alternative), PAIRS[pairs])
    result = run_chunks(data, GROUP1, GROUP2, make_job(test, alternative=alternative, top=top),
                        pairs=PAIRS[pairs], chunk_pairs=chunk)
    expected = chunked.take_rows(full, key_sorted(full)[:top])
    assert_same_rows(result.columns, expected)


@pytest.mark.parametrize("test", ["ztest", "score"])
def test_rows_of_a_constant_feature_are_ranked_last_and_never_pass_max_p(data, test):
    job = make_job(test, top=400, exclude=UNDEFINED if test == "score" else None)
    full = single_call(data, job, None)
    result = run_chunks(data, GROUP1, GROUP2, job, chunk_pairs=25)
    order = key_sorted(full)
    assert_same_rows(result.columns, chunked.take_rows(full, order))
    features = [full[name][order] for name in ("first", "second", "feature") if name in full]
    with_constant = np.any([f == CONSTANT for f in features], axis=0)
    assert with_constant.any() and with_constant[-with_constant.sum():].all()
    filtered = run_chunks(data, GROUP1, GROUP2, dataclasses.replace(job, top=None, max_p=1.0))
    for name in ("first", "second", "feature"):
        if name in filtered.columns:
            assert len(filtered.columns[name]) and not np.isin(filtered.columns[name], [CONSTANT]).any()


@pytest.mark.parametrize("test,pairs,max_p", [
    ("ztest", "all", 0.5), ("ztest", "given-ztest", 2 / 7), ("score", "all", 0.6), ("ztest", "all", 0.0)])
def test_max_p_keeps_tested_rows_at_or_under_the_threshold(data, test, pairs, max_p):
    full = single_call(data, make_job(test), PAIRS[pairs])
    result = run_chunks(data, GROUP1, GROUP2, make_job(test, max_p=max_p), pairs=PAIRS[pairs], chunk_pairs=11)
    keep = pvalues(full) <= max_p
    assert_same_rows(result.columns, chunked.take_rows(full, keep))
    if max_p == 2 / 7:
        assert keep.any() and not keep.all()


@pytest.mark.parametrize("reduction", [dict(top=5), dict(max_p=0.3), dict()])
def test_tally_gives_the_q_values_of_the_full_table(data, reduction):
    """q-values of kept rows, from the run's tally, equal scipy's on the full table."""
    # Rows whose statistic is undefined in some permutations: their p-values
    # have other denominators than m + 1.
    x = data.copy()
    x[7] = 0.0
    x[7, [3, 20]] = 1.0  # one sample of each group: permuted groups often have none
    job = dataclasses.replace(make_job("ztest", **reduction), permutations=40)
    full = single_call(x, job, None)
    p = pvalues(full)
    tested = ~np.isnan(p)
    assert not tested.all() and (full["valid"][tested] < 40).any()
    q_full = dict(zip(np.flatnonzero(tested), scipy.stats.false_discovery_control(p[tested])))

    result = run_chunks(x, GROUP1, GROUP2, job, chunk_pairs=20)
    assert result.tested == tested.sum() == result.tally.total
    rows = result.columns
    q = result.tally.qvalues(pvalues(rows))
    position = {(a, b): k for k, (a, b) in enumerate(zip(full["first"], full["second"]))}
    for a, b, value in zip(rows["first"], rows["second"], q):
        k = position[(a, b)]
        if tested[k]:
            assert value == q_full[k]


@pytest.mark.parametrize("test,pairs,max_p", [("ztest", "all", None), ("score", "given-score", None),
                                              ("ztest", "given-ztest", 0.5)])
def test_parquet_dataset_equals_the_full_table(data, tmp_path, test, pairs, max_p):
    import pyarrow.parquet as pq

    folder = tmp_path / "out"
    result = run_chunks(data, GROUP1, GROUP2, make_job(test, max_p=max_p), pairs=PAIRS[pairs], chunk_pairs=9,
                        sink=parquet_sink(folder))
    assert result.columns is None
    assert sorted(os.listdir(folder)) == [f"part-{i:08d}.parquet" for i in range(result.chunks)]
    table = pq.read_table(folder).to_pydict()
    expected = run_chunks(data, GROUP1, GROUP2, make_job(test, max_p=max_p), pairs=PAIRS[pairs]).columns
    assert_same_rows({k: np.asarray(v, dtype=expected[k].dtype) for k, v in table.items()}, expected)


def test_parquet_folder_must_be_empty(tmp_path):
    (tmp_path / "old.parquet").write_bytes(b"")
    with pytest.raises(FileExistsError, match="not an empty folder"):
        parquet_sink(tmp_path)


def test_progress_reports_every_chunk_and_nothing_reaches_stdout(data, capfd):
    seen = []
    result = run_chunks(data, GROUP1, GROUP2, make_job("ztest"), chunk_pairs=50,
                        progress=lambda done, total: seen.append((done, total)))
    print("after")
    assert seen == [(i, result.chunks) for i in range(result.chunks + 1)]
    assert capfd.readouterr().out == "after\n"


@pytest.mark.slow
def test_local_chunks_run_without_dask_and_pyarrow(tmp_path):
    """dask and pyarrow are optional: the local path never imports them."""
    script = """
import sys
for name in ("dask", "distributed", "pyarrow"):
    sys.modules[name] = None  # importing them now fails
import numpy as np
from corrshift.analyses import ZTEST
from corrshift.chunk_engine import Job, run_chunks
from corrshift.parquet_sink import parquet_sink
x = np.random.default_rng(0).normal(size=(9, 12)).astype(np.float32)
g1, g2 = np.arange(6, dtype=np.int32), np.arange(6, 12, dtype=np.int32)
job = Job(ZTEST, 0, g1, g2, "pearson", "two-sided", None, 3, 1, 4, None)
print(len(run_chunks(x, g1, g2, job, chunk_pairs=5).columns["z_diff"]))
try:
    parquet_sink(sys.argv[1])
except ImportError as e:
    print(e)
"""
    out = subprocess.run([sys.executable, "-c", script, str(tmp_path / "out")], capture_output=True, text=True,
                         check=True).stdout
    assert out.splitlines() == ["4", "writing a Parquet dataset needs pyarrow: pip install 'corrshift[parquet]'"]


def _sample_meets_only_the_smallest(n, k):
    # The values the strided sample reads lie below all the others, so its
    # bound has fewer than k values under it.
    values = np.arange(n, dtype=np.float64)
    step = n // (64 * k)
    values[::step] = -1.0 - np.arange(len(values[::step]))
    return values


@pytest.mark.parametrize("values, k", [
    (np.random.default_rng(1).random(100_000), 10),
    (np.random.default_rng(2).random(100_000).astype(np.float32), 1),
    (np.round(np.random.default_rng(3).random(200_000), 2), 500),  # many ties at the k-th value
    (np.arange(100_000, 0, -1, dtype=np.float64), 300),  # descending: the sample's smallest come last
    (_sample_meets_only_the_smallest(200_000, 100), 100),  # fewer than k under the bound: the whole array
    (np.full(50_000, 0.5), 7),
], ids=["random", "float32-k1", "ties", "descending", "misled-sample", "constant"])
def test_kth_smallest_equals_a_full_partition(values, k):
    assert chunked.kth_smallest(values, k) == np.partition(values, k - 1)[k - 1]


def _counted_columns(rows, seed, untested=0, short_valid=0):
    """Native-like z-test columns of one chunk: few distinct extreme counts
    (ties at every cut), some rows with an undefined statistic, some whose
    statistic was undefined in some cycles (fewer valid cycles)."""
    rng = np.random.default_rng(seed)
    z = rng.normal(size=rows).astype(np.float32)
    z[rng.choice(rows, untested, replace=False)] = np.nan
    valid = np.full(rows, 20, dtype=np.uint32)
    valid[rng.choice(rows, short_valid, replace=False)] = 17
    return {"first": np.zeros(rows, np.int32), "second": np.arange(rows, dtype=np.int32),
            "r1": rng.random(rows).astype(np.float32), "r2": rng.random(rows).astype(np.float32), "z_diff": z,
            "p_normal": np.round(rng.random(rows), 1).astype(np.float32),
            "extreme": rng.integers(0, 21, rows).astype(np.uint32), "valid": valid}


@pytest.mark.parametrize("untested, short_valid, top, from_counts", [
    (0, 0, 50, True),       # counts settle it: the rows above the cut are left out
    (30, 0, 50, True),      # untested rows (NaN statistic) never count towards the cut
    (0, 0, 1, True),
    (0, 3, 50, False),      # unequal valid counts: p no longer follows extreme, every row is ranked
    (1990, 0, 50, False),   # fewer tested rows than top: untested ones fill the rest
    (0, 0, 2000, False),    # top takes every row
])
def test_chunk_reduction_from_counts_equals_ranking_every_row(untested, short_valid, top, from_counts):
    columns = _counted_columns(2000, seed=untested + short_valid + top, untested=untested, short_valid=short_valid)
    job = dataclasses.replace(make_job("ztest", top=top), permutations=20)
    chunk = chunked.Chunk(index=3, lo=0, hi=2000, row=5000)
    got = chunked.reduce_rows(columns, chunk, job)
    p = chunked.column_pvalues(columns)
    tested = chunked.tested_rows(columns, p)
    expected_rows = chunked.top_rows(columns, job, p, tested, first_row=chunk.row)
    assert_same_rows(got["columns"], expected_rows)
    expected_tally = chunked.PValueTally.of_counts(columns["extreme"], columns["valid"], tested)
    assert np.array_equal(got["tally"].values, expected_tally.values)
    assert np.array_equal(got["tally"].counts, expected_tally.counts)
    assert (got["tested"], got["rows"], got["index"]) == (int(tested.sum()), 2000, 3)
    # Each case takes the path it is there for (the ranking of every row
    # would pass the equalities above on its own).
    assert (chunked._top_by_counts(columns, chunk, job) is not None) == from_counts
