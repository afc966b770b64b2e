"""A whole result table is built in little more memory than the table itself, with the same numbers as the
table built from every native column at once."""

import json
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import corrshift
from corrshift import memory, native, pairs, pvalues
from corrshift.api import prepare
from corrshift.tables import add_qvalues, score_rows, score_table, ztest_rows, ztest_table

# The call's peak over the table's own memory: the engine's columns and the
# normal q-values' sort (16 bytes a row while it runs) come on top of the
# table's 45 bytes a row for a moment; 1.5 and more when columns are copied.
PEAK_OVER_TABLE = 1.3

PEAK_SCRIPT = """
import json, numpy as np, corrshift

def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

x = np.random.default_rng(0).normal(size=(3000, 64)).astype(np.float32)
corrshift.ztest(x[:50], range(32), range(32, 64), permutations=0, progress=False)
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")  # the peak from here on
before = status("VmRSS")
table = corrshift.ztest(x, range(32), range(32, 64), permutations=0, progress=False)
print(json.dumps([status("VmHWM") - before, int(table.memory_usage(deep=True).sum())]))
"""


@pytest.mark.slow
def test_a_whole_tables_peak_stays_near_the_table():
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError:
        pytest.skip("the peak resident size cannot be reset here")
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(PEAK_SCRIPT)], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    rise, table = json.loads(run.stdout)
    assert rise <= PEAK_OVER_TABLE * table, (rise / 2**20, table / 2**20)


def _reference_pairs(lo, hi, k, per_feature):
    found = [(i, j) for i in range(lo, hi) for j in range(0 if per_feature else i + 1, k) if j != i]
    return np.array(found, dtype=np.int64).reshape(-1, 2).T


@pytest.mark.parametrize("block", [1, 5, 1 << 20])  # a feature's pairs split or not across the blocks
@pytest.mark.parametrize("per_feature", [False, True])
@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32])
def test_block_pairs_fill_any_integer_type_block_by_block(monkeypatch, block, per_feature, dtype):
    monkeypatch.setattr(pairs, "PAIRS_PER_BLOCK", block)
    for k, lo, hi in [(9, 0, 9), (9, 2, 7), (9, 4, 4), (1, 0, 1), (2, 1, 2)]:
        first, second = pairs.block_pairs(lo, hi, k, per_feature, dtype)
        expected = _reference_pairs(lo, hi, k, per_feature)
        assert first.dtype == second.dtype == dtype
        np.testing.assert_array_equal(np.stack([first, second]), expected, err_msg=f"{k}, {lo}, {hi}")


def _assert_same_table(got, expected):
    pd.testing.assert_frame_equal(got, expected, check_exact=True)
    for column in got.columns:
        if isinstance(got[column].dtype, pd.CategoricalDtype):
            # The codes of both builds: equal tables could still differ there.
            np.testing.assert_array_equal(got[column].cat.codes, expected[column].cat.codes)


def _prepared(k):
    x = np.random.default_rng(2).normal(size=(k, 30))
    x[3, :4] = np.nan  # undefined in group 1: NaN rows, left out of the q-values
    x[5, 15:] = 2.0  # constant in group 2
    x[7] = 0.0
    x[7, [0, 20]] = 1.0  # constant in a permuted group that deals both ones to the other: unequal cycle counts
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", corrshift.CorrshiftWarning)
        return prepare(x, range(15), range(15, 30))


@pytest.mark.parametrize("k", [40, 200])  # int8 and int16 name codes
@pytest.mark.parametrize("permutations", [0, 19])
def test_whole_table_equals_the_table_of_every_native_column(k, permutations):
    # The whole table takes the native columns over and makes all pairs'
    # positions itself; chunked runs build it from every column at once.
    prep = _prepared(k)
    call = dict(method="pearson", alternative="two-sided", permutations=permutations, threads=2)
    every = native.ztest(prep.matrix, prep.group1, prep.group2, **call)
    expected = add_qvalues(ztest_rows(prep, every), every)
    tested = ~np.isnan(every["z_diff"])
    assert len(np.unique(every["valid"][tested])) == (2 if permutations else 1)  # the sort of the p-values
    taken = native.ztest(prep.matrix, prep.group1, prep.group2, **call, positions=False)
    assert "first" not in taken
    _assert_same_table(ztest_table(prep, taken), expected)
    scores = native.score(prep.matrix, prep.group1, prep.group2, "pearson", "mean", "two-sided", permutations, 2,
                          exclude=prep.undefined)
    expected = add_qvalues(score_rows(prep, dict(scores)), scores)
    _assert_same_table(score_table(prep, scores), expected)


def test_permutation_pvalues_divide_block_by_block(monkeypatch):
    monkeypatch.setattr(pvalues, "BLOCK", 7)
    rng = np.random.default_rng(8)
    valid = rng.choice([10, 99, 100], 50).astype(np.uint32)
    extreme = rng.integers(0, valid + 1).astype(np.uint32)
    statistic = rng.normal(size=50)
    statistic[::9] = np.nan
    expected = (extreme.astype(np.float64) + 1) / (valid.astype(np.float64) + 1)
    expected[::9] = np.nan
    np.testing.assert_array_equal(pvalues.permutation_pvalues(extreme, valid, statistic), expected)


X = np.random.default_rng(4).normal(size=(30, 20))
ALL_PAIRS = 30 * 29 // 2
# Two int8 name codes (30 features), four float32 and three float64 columns, the class's int8 code.
ROW_BYTES = 2 + 4 * 4 + 3 * 8 + 1


@pytest.mark.parametrize("options, rows", [
    ({}, ALL_PAIRS),
    ({"pairs": [(0, 1), (2, 3), (4, 5)]}, 3),
    ({"chunk_pairs": 100}, ALL_PAIRS),  # chunks, but every row kept
    ({"top": 5}, None),
    ({"max_p": 0.5, "permutations": 9}, None),  # max_p needs permutation p-values
    ({"out": "table"}, None),
])
def test_a_table_beyond_half_the_available_memory_is_warned_about_first(monkeypatch, tmp_path, options, rows):
    monkeypatch.setattr(memory, "available_memory", lambda: 2 * ROW_BYTES * 3 - 1)  # under two 3-row tables
    if "out" in options:
        options = {"out": tmp_path / "table"}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table = corrshift.ztest(X, range(10), range(10, 20), progress=False, **{"permutations": 0, **options})
    said = [str(w.message) for w in caught if "memory available" in str(w.message)]
    if rows is None:
        assert not said
        return
    assert len(said) == 1 and issubclass(caught[0].category, corrshift.CorrshiftWarning)
    assert said[0].startswith(f"the table of {rows:,} pairs will take about {memory.size_text(rows * ROW_BYTES)} "
                              f"({ROW_BYTES} bytes a row), more than 50% of the 257 bytes of memory available")
    assert "top=" in said[0] and "max_p=" in said[0] and "out=" in said[0]
    assert len(table) * memory.row_bytes(table) == sum(
        (c.cat.codes if isinstance(c.dtype, pd.CategoricalDtype) else c).to_numpy().nbytes for _, c in table.items())


@pytest.mark.parametrize("available", [10**12, None])  # room enough, or a system that does not say
def test_no_warning_where_the_table_fits_or_memory_is_unknown(monkeypatch, available):
    monkeypatch.setattr(memory, "available_memory", lambda: available)
    with warnings.catch_warnings():
        warnings.simplefilter("error", corrshift.CorrshiftWarning)
        corrshift.ztest(X, range(10), range(10, 20), permutations=0, progress=False)


@pytest.mark.parametrize("limit, used, expected", [
    (None, None, "host"),  # no container limit
    ("max", "5000", "host"),  # a cgroup without a limit
    ("9000", "5000", 4000),  # the room left under the limit, below the host's
    ("9000", "9500", 0),  # beyond the limit already
])
def test_available_memory_is_the_hosts_within_a_containers_limit(monkeypatch, tmp_path, limit, used, expected):
    monkeypatch.setitem(sys.modules, "psutil", None)  # read from /proc/meminfo
    monkeypatch.setattr(memory, "_CGROUP", str(tmp_path))
    if limit is not None:
        (tmp_path / "memory.max").write_text(limit + "\n")
        (tmp_path / "memory.current").write_text(used + "\n")
    host = memory._meminfo_available()
    assert host and host > 0
    got = memory.available_memory()
    if expected == "host":
        assert abs(got - host) < 2**30  # the system's figure a moment later
    else:
        assert got == expected


def _scipy_bh(p):
    q = np.full(len(p), np.nan)
    tested = ~np.isnan(p)
    q[tested] = stats.false_discovery_control(p[tested], method="bh")
    return q


@pytest.mark.parametrize("values", [
    "float64",  # the argsort, its factors m / rank a block at a time
    "float64 ties",
    "float32",  # float32 values in float64: the engine's sort, found so block by block
    "float32 but the last",  # one value in the last block that float32 does not hold: the argsort
])
def test_bh_qvalues_block_by_block_equal_scipys(monkeypatch, values):
    monkeypatch.setattr(pvalues, "BLOCK", 7)
    rng = np.random.default_rng(9)
    p = rng.random(200) ** 2
    if values.startswith("float32"):
        p = p.astype(np.float32).astype(np.float64)
    if values == "float32 but the last":
        p[-1] = 0.1
    if values == "float64 ties":
        p = np.round(p, 2)
    p[rng.random(200) < 0.1] = np.nan
    np.testing.assert_array_equal(pvalues.bh_qvalues(p), _scipy_bh(p))
