"""permutations="auto": each row runs until its decision at the FDR level is settled.

The p-value is the anytime-valid Besag-Clifford one, checked for validity
against an exact float64 model of the stopping rule; the rounds run the
engine's numbered cycles, so a row that ran c cycles holds the counts of a
fixed run of c permutations, bit for bit.
"""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from scipy.special import betaln, gammaln

import corrshift
from corrshift import _core, adaptive, native
from corrshift.adaptive import LOSSES, AdaptiveRun, round_ends
from corrshift.adaptive_runs import score_auto, set_auto, ztest_auto
from corrshift.api import prepare
from corrshift.cli import main
from corrshift.ranking import ranked
from corrshift.sets import unit_pairs

QUIET = dict(progress=False, threads=2)


def _changed_data(k=24, n=(24, 24), changed=4, seed=0):
    """Independent features, and ``changed`` pairs (0, 1), (2, 3), ... correlated in group 1 only."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(k, sum(n)))
    for a in range(0, 2 * changed, 2):
        x[a + 1, :n[0]] = x[a, :n[0]] + 0.3 * rng.normal(size=n[0])
    return x


# --- the numbered cycles ------------------------------------------------------------------------


@pytest.mark.parametrize("strata", [None, np.repeat(np.arange(4), 10).astype(np.int32)])
@pytest.mark.parametrize("method", ["pearson", "spearman"])
def test_calls_over_consecutive_cycles_count_what_one_call_counts(method, strata):
    x = np.random.default_rng(1).normal(size=(12, 40)).astype(np.float32)
    g1, g2 = np.arange(0, 40, 2, dtype=np.int32), np.arange(1, 40, 2, dtype=np.int32)
    args = (x, g1, g2, method, "two-sided")
    whole = _core.ztest_exhaustive(*args, 90, 2, strata=strata, seed=5)
    parts = [_core.ztest_exhaustive(*args, m, threads, strata=strata, seed=5, first_cycle=start)
             for start, m, threads in ((0, 17, 1), (17, 40, 2), (57, 33, 3))]
    for k in (4, 5):
        assert np.array_equal(whole[k], sum(p[k] for p in parts))
    # Another seed, or the same cycles again, counts otherwise.
    assert not np.array_equal(whole[4], _core.ztest_exhaustive(*args, 90, 2, strata=strata, seed=6)[4])
    again = _core.ztest_exhaustive(*args, 33, 2, strata=strata, seed=5, first_cycle=0)
    assert not np.array_equal(parts[2][4], again[4])


@pytest.mark.parametrize("call, message", [
    (dict(first_cycle=-1), "first_cycle must be at least 0"),
    (dict(first_cycle=2 ** 63 - 5), "first_cycle \\+ permutations must be below 2\\*\\*63"),
])
def test_first_cycle_is_checked(call, message):
    x = np.random.default_rng(1).normal(size=(3, 10)).astype(np.float32)
    g1, g2 = np.arange(5, dtype=np.int32), np.arange(5, 10, dtype=np.int32)
    with pytest.raises(ValueError, match=message):
        _core.ztest_exhaustive(x, g1, g2, "pearson", "two-sided", 9, 1, **call)


def test_an_exact_test_starts_at_the_first_split():
    x = np.random.default_rng(1).normal(size=(3, 8)).astype(np.float32)
    g1, g2 = np.arange(4, dtype=np.int32), np.arange(4, 8, dtype=np.int32)
    with pytest.raises(ValueError, match="first_cycle must be 0"):
        _core.ztest_exhaustive(x, g1, g2, "pearson", "two-sided", 69, 1, exact=True, first_cycle=3)


# --- the stopping rule against a float64 model --------------------------------------------------


def _stopped_pvalue_distribution(cap):
    """Exact law of the p-value of one row under the null hypothesis when it runs without a rejection.

    A continuous null statistic makes the permuted statistics' losses
    Bernoulli(U) given U ~ Uniform(0, 1) (the observed statistic's rank
    among them is uniform). Over the rounds, the chance of a path of loss
    counts is the product of the rounds' binomial coefficients times
    B(l + 1, t - l + 1). Returns (values, probabilities) of the p-value.
    """
    ends = [0, *round_ends(cap)]
    alive = {0: 0.0}  # losses so far (< h) -> log of the summed binomial products
    law = {}
    for start, end in zip(ends[:-1], ends[1:]):
        step = end - start
        after = {}
        for l, weight in alive.items():
            before = LOSSES / (start - l + LOSSES) if start else 1.0
            for extra in range(step + 1):
                total = l + extra
                w = weight + gammaln(step + 1) - gammaln(extra + 1) - gammaln(step - extra + 1)
                if total >= LOSSES:  # stops: the value it had before this round
                    law[before] = law.get(before, 0.0) + math.exp(w + betaln(total + 1, end - total + 1))
                else:
                    after[total] = np.logaddexp(after.get(total, -np.inf), w)
        alive = after
    for l, weight in alive.items():
        value = min(LOSSES / (cap - l + LOSSES), (l + 1) / (cap + 1))
        law[value] = law.get(value, 0.0) + math.exp(weight + betaln(l + 1, cap - l + 1))
    values = np.array(sorted(law))
    return values, np.array([law[v] for v in values])


@pytest.mark.parametrize("cap", [LOSSES, 37, 400])
def test_the_pvalue_is_valid_whenever_the_row_stops(cap):
    values, chances = _stopped_pvalue_distribution(cap)
    assert math.isclose(chances.sum(), 1.0, rel_tol=1e-9)
    # P(p <= a) <= a at every value a it takes; the smallest is 1 / (cap + 1).
    assert np.all(np.cumsum(chances) <= values * (1 + 1e-9))
    assert values[0] == pytest.approx(1 / (cap + 1))


def _settled(counts, ends, fdr=0.05):
    """Runs AdaptiveRun over rounds whose counts per row are given, as run_adaptive does."""
    tested = np.ones(len(counts[0][0]), bool)
    state = AdaptiveRun.start(tested)
    for (extreme, valid), end in zip(counts, ends):
        rows = np.flatnonzero(state.running)
        state.settle(rows, np.asarray(extreme)[rows], np.asarray(valid)[rows], end, ends[-1], fdr, len(tested))
    return state


def test_rows_stop_by_losses_rejection_or_the_cap():
    # Rows: many losses in round one; ten losses only in round two; never a loss; one loss.
    state = _settled([([12, 4, 0, 1], [20, 20, 20, 20]), ([0, 7, 0, 0], [20, 20, 20, 20])], [20, 40])
    # Row 0 keeps the value before its first round (1); row 1 the value after round one, 10 / (16 + 10).
    assert state.p[0] == 1.0 and state.p[1] == pytest.approx(10 / 26)
    assert list(state.cycles) == [20, 40, 40, 40] and not state.running.any()
    # At the cap, the fixed-count value where it is smaller: 1 / 41 and 2 / 41.
    assert state.p[2] == pytest.approx(1 / 41) and state.p[3] == pytest.approx(2 / 41)


def test_a_row_stops_once_its_pvalue_is_below_the_threshold():
    # 40 rows, 39 plainly not significant; the other without losses: after 400 cycles p = 10 / 410, above
    # the threshold 0.05 * 1 / 40 = 0.00125; 7000 more cycles bring it to 10 / 7410 (still above), 1000 more
    # to 10 / 8410, below: it stops.
    state = _settled([(np.r_[0, np.full(39, 20)], np.full(40, 400))], [400, 10 ** 6])
    assert state.running[0] and not state.running[1:].any() and state.p[0] == pytest.approx(10 / 410)
    for more, running in ((7000, True), (1000, False)):
        state.settle(np.array([0]), np.zeros(1, int), np.array([more]), 400 + more, 10 ** 6, 0.05, 40)
        assert state.running[0] == running
    assert state.p[0] == pytest.approx(10 / 8410) and state.cycles[0] == 1400


@pytest.mark.parametrize("seed", range(4))
def test_bh_threshold_matches_scipy(seed):
    p = np.random.default_rng(seed).uniform(size=300) ** 4
    q = stats.false_discovery_control(p)
    rejected = q <= 0.05
    threshold = adaptive.bh_threshold(p, 0.05, len(p))
    assert np.array_equal(p <= threshold, rejected) if rejected.any() else threshold == 0


def test_pair_positions_of_condensed_rows():
    k = 9
    i, j = np.triu_indices(k, 1)
    rows = np.arange(len(i))
    assert np.array_equal(adaptive.pair_rows(rows, k), (i, j))
    assert np.array_equal(adaptive.condensed_rows(i, j, k), rows)


@pytest.mark.parametrize("most, dense", [(None, True), (120, True), (119, False)])
def test_a_dense_block_holds_at_most_the_pairs_allowed(most, dense):
    # All 120 pairs of features 3..18 (dense pays) and two pairs apart (listed).
    i, j = np.triu_indices(16, 1)
    first, second = np.r_[i + 3, 0, 1], np.r_[j + 3, 30, 31]
    groups = adaptive.pair_groups(first, second, most)
    assert [len(g) for g in groups] == ([120, 2] if dense else [122])


# --- the engine's rounds: the counts of a fixed run ---------------------------------------------


def _fixed_counts(prep, cycles, method, seed, **options):
    """Counts of fixed runs of each distinct cycle count."""
    found = {}
    for c in np.unique(cycles):
        dealing = native.Dealing(prep.strata, seed)
        found[c] = options["call"](prep, int(c), dealing)
    return found


def _assert_prefix_counts(columns, fixed):
    for c, (extreme, valid) in fixed.items():
        rows = columns["cycles"] == c
        assert rows.any()
        assert np.array_equal(columns["extreme"][rows], extreme[rows])
        assert np.array_equal(columns["valid"][rows], valid[rows])


@pytest.mark.parametrize("method", ["pearson", "spearman"])
@pytest.mark.parametrize("listed, strata", [(False, False), (True, False), (False, True)])
def test_a_row_that_ran_c_cycles_has_the_counts_of_a_fixed_run_of_c(method, listed, strata):
    x = _changed_data(k=16, changed=3)
    if method == "spearman":
        x = np.round(x * 2)  # ties
    labels = np.repeat(["a", "b"], 24)
    prep = prepare(x, None, None, groupby=labels, groups=("a", "b"), method=method,
                   strata=np.tile([0, 1], 24) if strata else None)
    pairs = None
    if listed:
        rng = np.random.default_rng(2)
        first = rng.integers(0, 16, 60).astype(np.int32)
        second = ((first + rng.integers(1, 16, 60)) % 16).astype(np.int32)
        pairs = (np.r_[first, 0, 2, 4], np.r_[second, 1, 3, 5].astype(np.int32))
    dealing = native.Dealing(prep.strata, 11)
    columns = ztest_auto(prep, pairs, method, "two-sided", 2, False, dealing, 0.05, 3000)
    assert len(np.unique(columns["cycles"])) >= 5

    def call(prep, c, dealing):
        got = native.ztest(prep.matrix, prep.group1, prep.group2, method, "two-sided", c, 2, pairs=pairs,
                           dealing=dealing)
        return got["extreme"], got["valid"]

    _assert_prefix_counts(columns, _fixed_counts(prep, columns["cycles"], method, 11, call=call))


@pytest.mark.parametrize("aggregate", ["mean", "median"])
def test_feature_and_set_scores_have_the_counts_of_fixed_runs(aggregate):
    x = _changed_data(k=14, changed=3, seed=3)
    x[13, :24] = 1.0  # constant in group 1: excluded from every score
    prep = prepare(x, np.arange(24), np.arange(24, 48))
    dealing = native.Dealing(None, 4)
    columns = score_auto(prep, None, "pearson", aggregate, "two-sided", 2, False, dealing, 0.05, 2000)
    assert np.isnan(columns["p_permutation"][13]) and len(np.unique(columns["cycles"][:13])) >= 2

    def features(prep, c, dealing):
        got = native.score(prep.matrix, prep.group1, prep.group2, "pearson", aggregate, "two-sided", c, 2,
                           exclude=prep.undefined, dealing=dealing)
        return got["extreme"], got["valid"]

    tested = ~np.isnan(columns["p_permutation"])
    fixed = _fixed_counts(prep, columns["cycles"][tested], "pearson", 4, call=features)
    _assert_prefix_counts({k: columns[k][tested] for k in ("cycles", "extreme", "valid")}, {c: (e[tested], v[tested])
                                                                         for c, (e, v) in fixed.items()})

    sets = {"one": [0, 1, 2, 3], "two": [4, 5, 6], "three": [7, 8, 9, 10, 11]}
    first, second, starts, _ = unit_pairs(sets, prep.features, prep.undefined)
    columns = set_auto(prep, (first, second, starts), "pearson", aggregate, "two-sided", 2, False, dealing,
                       0.05, 2000)

    def units(prep, c, dealing):
        got = native.score_units(prep.matrix, prep.group1, prep.group2, "pearson", aggregate, "two-sided", c, 2,
                                 (first, second), starts, dealing=dealing)
        return got["extreme"], got["valid"]

    _assert_prefix_counts(columns, _fixed_counts(prep, columns["cycles"], "pearson", 4, call=units))


# --- through the API and the command line -------------------------------------------------------


def _significant(table):
    chosen = table[table.q_permutation <= 0.05]
    return set(zip(chosen.feature_a.astype(int), chosen.feature_b.astype(int)))


def test_auto_decides_as_a_long_fixed_run_and_stops_most_pairs_early():
    x = _changed_data(k=30, changed=4)
    res = corrshift.ztest(x, range(24), range(24, 48), permutations="auto", **QUIET)
    assert res.attrs["permutations"] == "auto" and res.attrs["max_permutations"] == math.ceil(435 / 0.05) - 1
    fixed = corrshift.ztest(x, range(24), range(24, 48), permutations=res.attrs["max_permutations"], **QUIET)
    assert _significant(res) == _significant(fixed) == {(2, 3), (4, 5), (6, 7)}
    # Most pairs stop within a few dozen cycles; the changed ones run until they are decided.
    assert res.cycles.median() <= 50 and res.cycles.max() <= res.attrs["max_permutations"]
    assert res.cycles.sum() < 0.05 * len(res) * res.attrs["max_permutations"]
    assert res.columns[-1] == "cycles"


def test_auto_under_the_null_is_not_anti_conservative():
    x = np.random.default_rng(7).normal(size=(40, 60))
    res = corrshift.ztest(x, range(30), range(30, 60), permutations="auto", **QUIET)
    assert (res.p_permutation <= 0.05).mean() <= 0.07
    assert (res.q_permutation <= 0.05).sum() <= 2


def test_scores_and_sets_run_auto():
    x = pd.DataFrame(_changed_data(k=20, changed=4), index=[f"g{i}" for i in range(20)])
    scores = corrshift.score(x, range(24), range(24, 48), permutations="auto", **QUIET)
    assert "cycles" in scores.columns and scores.attrs["permutations"] == "auto"
    fixed = corrshift.score(x, range(24), range(24, 48), permutations=scores.attrs["max_permutations"], **QUIET)
    assert scores.p_permutation.idxmin() == fixed.p_permutation.idxmin()
    sets = corrshift.score(x, range(24), range(24, 48), permutations="auto", **QUIET,
                           sets={"changed": [f"g{i}" for i in range(2, 8)], "plain": ["g10", "g11", "g12"]})
    assert list(sets.columns) == ["set", "pairs", "score", "p_permutation", "q_permutation", "cycles"]
    assert list(sets.q_permutation <= 0.05) == [True, False] and sets.attrs["permutations"] == "auto"


def test_few_splits_give_the_exact_test_also_with_auto():
    x = np.random.default_rng(2).normal(size=(4, 8))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = corrshift.ztest(x, range(4), range(4, 8), permutations="auto", **QUIET)
    assert res.attrs["exact"] and res.attrs["permutations"] == 69 and "cycles" not in res.columns


@pytest.mark.parametrize("options, message", [
    (dict(permutations="many"), 'permutations must be a whole number or "auto"'),
    (dict(permutations=100, max_permutations=1000), "max_permutations is the most cycles"),
    (dict(permutations="auto", fdr=0), "fdr must be a number between 0 and 1"),
    (dict(permutations="auto", max_permutations=0), "max_permutations must be between"),
])
def test_adaptive_options_are_checked(options, message):
    x = np.random.default_rng(2).normal(size=(4, 20))
    with pytest.raises(ValueError, match=message):
        corrshift.ztest(x, range(10), range(10, 20), **QUIET, **options)


def test_command_line_runs_auto(tmp_path, capsys):
    data, samples = tmp_path / "data.tsv", tmp_path / "samples.tsv"
    pd.DataFrame(_changed_data(k=10, changed=2), index=[f"f{i}" for i in range(10)],
                 columns=[f"s{j}" for j in range(48)]).to_csv(data, sep="\t")
    pd.DataFrame({"kind": np.repeat(["a", "b"], 24)}, index=[f"s{j}" for j in range(48)]).to_csv(samples, sep="\t")
    out = tmp_path / "out.tsv"
    assert main(["ztest", str(data), "--groups", str(samples), "--by", "kind", "--compare", "a", "b",
                 "--permutations", "auto", "--max-permutations", "2000", "--out", str(out), "--quiet"]) == 0
    table = pd.read_csv(out, sep="\t")
    assert table.cycles.max() == 2000 and table.cycles.min() >= LOSSES
    assert "auto permutations (" in capsys.readouterr().out


def test_modules_of_running_pairs_run_as_dense_blocks():
    # Two modules of 30 features (all their pairs running) joined by scattered pairs to 200 other features.
    rng = np.random.default_rng(0)
    modules = [np.triu_indices(30, 1), tuple(t + 30 for t in np.triu_indices(30, 1))]
    scattered = (rng.integers(0, 60, 150), rng.integers(60, 260, 150))
    first = np.concatenate([modules[0][0], modules[1][0], scattered[0]])
    second = np.concatenate([modules[0][1], modules[1][1], scattered[1]])
    groups = adaptive.pair_groups(first, second)
    assert sorted(len(g) for g in groups) == [150, 435, 435]
    assert np.array_equal(np.sort(np.concatenate(groups)), np.arange(len(first)))


def test_auto_with_min_cells_and_classes():
    rng = np.random.default_rng(5)
    counts = rng.poisson(1.0, size=(12, 60)).astype(float)
    counts[11, :] = 0.0
    counts[11, :3] = 1.0  # observed in 3 samples of group 1 only: left out with min_cells=5
    res = corrshift.ztest(counts, range(30), range(30, 60), permutations="auto", min_cells=5, **QUIET)
    assert res.attrs["filtered"] == [11] and len(res) == 55
    assert res.cycles.min() >= LOSSES and res["class"].notna().all()
    fixed = corrshift.ztest(counts, range(30), range(30, 60), permutations=9, min_cells=5, **QUIET)
    np.testing.assert_array_equal(res.z_diff, fixed.z_diff)
    assert list(res["class"]) == list(fixed["class"])

# --- in chunks: a first pass per chunk, a second over the survivors ------------------------------

CHUNKED_DATA = _changed_data(k=24, changed=4, seed=5)
CHUNKED_DATA[20, :24] = 1.0  # constant in group 1: untested rows, and no part in any score
# The changed pairs, and random ones among the other features (scores: the changed features by them alone).
GIVEN_PAIRS = [(0, 1), (2, 3), (4, 5), (6, 7)] + [(int(a), int(b)) for a, b in
                                                  np.random.default_rng(6).integers(8, 24, (150, 2)) if a != b]
CHUNK_CASES = [
    (corrshift.ztest, dict()),
    (corrshift.ztest, dict(pairs=GIVEN_PAIRS, method="spearman")),
    (corrshift.score, dict(max_permutations=4000)),
    (corrshift.score, dict(pairs=GIVEN_PAIRS, aggregate="median", max_permutations=4000)),
]
quiet_constant = pytest.mark.filterwarnings("ignore:1 feature is constant")


def _auto(test, **options):
    return test(CHUNKED_DATA, range(24), range(24, 48), permutations="auto", **QUIET, **options)


def _decided(table):
    return set(np.flatnonzero(table.q_permutation <= table.attrs["fdr"]))


@quiet_constant
@pytest.mark.parametrize("test, options", CHUNK_CASES)
def test_auto_in_chunks_decides_as_one_call(test, options):
    whole = _auto(test, **options)
    chunked = _auto(test, chunk_pairs=13, **options)
    screen = adaptive.screen_cycles(whole.attrs["max_permutations"])
    assert list(chunked.columns) == list(whole.columns) and chunked.attrs.keys() == whole.attrs.keys()
    assert chunked.attrs["permutations"] == "auto" and chunked.attrs["row_cycles"] == chunked.cycles.sum()
    assert chunked.attrs["rounds"][-1][1] == 0 and (chunked.cycles >= screen).any()  # survivors
    assert _decided(chunked) == _decided(whole) and _decided(whole)
    # Rows the first pass stopped (by losses) have one call's p-value and cycles, unless one call stopped
    # them as rejected.
    first_pass = ((chunked.cycles < screen) & (whole.q_permutation > whole.attrs["fdr"])).to_numpy()
    assert first_pass.sum() > len(whole) / 2
    for column in ("p_permutation", "cycles"):
        assert np.array_equal(chunked[column][first_pass], whole[column][first_pass])
    # The chunks do not matter: a run in other chunks gives the same table.
    pd.testing.assert_frame_equal(_auto(test, chunk_pairs=50, **options), chunked)


@quiet_constant
@pytest.mark.parametrize("analysis", ["ztest", "score"])
def test_auto_in_chunks_has_the_counts_of_fixed_runs(analysis):
    from corrshift.chunked_runs import Chunking, score_chunks, ztest_chunks

    prep = prepare(CHUNKED_DATA, np.arange(24), np.arange(24, 48))
    dealing = native.Dealing(None, 9)
    auto = adaptive.Adaptive(0.05, 3000)
    options = dict(method="pearson", alternative="two-sided", permutations=0, dealing=dealing, threads=2,
                   progress=False, chunking=Chunking(11, None, None, None, None), auto=auto)
    if analysis == "ztest":
        _, result = ztest_chunks(prep, None, **options)
        call = lambda prep, c, dealing: native.ztest(prep.matrix, prep.group1, prep.group2, "pearson",
                                                      "two-sided", c, 2, dealing=dealing)
    else:
        _, result = score_chunks(prep, None, aggregate="mean", **options)
        call = lambda prep, c, dealing: native.score(prep.matrix, prep.group1, prep.group2, "pearson", "mean",
                                                      "two-sided", c, 2, exclude=prep.undefined, dealing=dealing)
    columns = result.columns
    assert np.array_equal(columns["row"], np.arange(len(columns["row"])))
    tested = ~np.isnan(columns["p_permutation"])
    assert (columns["cycles"][tested] > auto.screen).any()
    fixed = {c: (lambda got: (got["extreme"][tested], got["valid"][tested]))(call(prep, int(c), dealing))
             for c in np.unique(columns["cycles"][tested])}
    _assert_prefix_counts({k: columns[k][tested] for k in ("cycles", "extreme", "valid")}, fixed)


@quiet_constant
@pytest.mark.parametrize("test, options", [CHUNK_CASES[0], CHUNK_CASES[3]])
def test_auto_in_chunks_keeps_the_top_rows_those_under_max_p_or_writes_a_folder(tmp_path, test, options):
    full = _auto(test, chunk_pairs=17, **options)
    no_q_normal = full.drop(columns=["q_normal"], errors="ignore")
    best = _auto(test, chunk_pairs=9, top=7, **options)
    pd.testing.assert_frame_equal(best, ranked(no_q_normal).head(7).reset_index(drop=True))
    assert best.attrs["top"] == 7 and best.attrs["rounds"] == full.attrs["rounds"]
    for cut in (full.p_permutation.quantile(0.2), 0.001):  # 0.001: some of the survivors
        kept = _auto(test, chunk_pairs=9, max_p=cut, **options)
        pd.testing.assert_frame_equal(kept, no_q_normal[no_q_normal.p_permutation <= cut].reset_index(drop=True))

    assert _auto(test, chunk_pairs=9, out=tmp_path / "rows", **options) is None
    parts = sorted((tmp_path / "rows").glob("part-*.parquet"))
    written = pd.concat([pd.read_parquet(part) for part in parts], ignore_index=True)
    recorded = pd.read_parquet(tmp_path / "rows").attrs
    assert recorded["row_cycles"] == full.attrs["row_cycles"] and recorded["rounds"] == full.attrs["rounds"]
    expected = full.drop(columns=[c for c in full.columns if c.startswith("q_")])
    # The survivors' rows come last, in a part of their own; each part keeps the rows' order.
    screen = adaptive.screen_cycles(full.attrs["max_permutations"])
    last = len(pd.read_parquet(parts[-1]))
    assert (written.cycles[-last:] >= screen).all() and (written.cycles[:-last] <= screen).all()
    names = list(expected.select_dtypes("category").columns)
    where = pd.Series(np.arange(len(expected)), index=pd.MultiIndex.from_frame(expected[names].astype(str)))
    at = where[pd.MultiIndex.from_frame(written[names].astype(str))].to_numpy()
    assert sorted(at) == list(range(len(expected)))
    assert np.all(np.diff(at[:-last]) > 0) and np.all(np.diff(at[-last:]) > 0)
    pd.testing.assert_frame_equal(written, expected.iloc[at].reset_index(drop=True)
                                  .astype({c: written[c].dtype for c in names}))


def test_modules_joined_by_scattered_pairs_between_them_are_found():
    # Three modules of 30 features, 60 scattered pairs between their features and 150 to 300 others.
    rng = np.random.default_rng(1)
    i, j = np.triu_indices(30, 1)
    first = np.concatenate([i, i + 30, i + 60, rng.integers(0, 30, 60), rng.integers(0, 90, 150)])
    second = np.concatenate([j, j + 30, j + 60, rng.integers(30, 90, 60), rng.integers(90, 390, 150)])
    groups = adaptive.pair_groups(first, second)
    assert sorted(len(g) for g in groups) == [210, 435, 435, 435]


def test_stop_wins_finds_the_wins_before_the_tenth_loss_within_a_round():
    # Rows given by their outcomes cycle by cycle (1: a loss); some cycles undefined (-1, neither).
    rng = np.random.default_rng(2)
    outcomes = rng.choice([0, 1, -1], p=[0.9, 0.045, 0.055], size=(40, 300))
    start, end = 100, 300
    before_e = (outcomes[:, :start] == 1).sum(1)
    before_v = (outcomes[:, :start] >= 0).sum(1)
    total_e = (outcomes[:, :end] == 1).sum(1)
    rows = np.flatnonzero((before_e < LOSSES) & (total_e >= LOSSES))
    assert len(rows) >= 3
    calls = []

    def run(which, first_cycle, cycles):
        calls.append(len(which))
        part = outcomes[which, first_cycle:first_cycle + cycles]
        return (part == 1).sum(1), (part >= 0).sum(1)

    wins = adaptive.stop_wins(run, rows, start, end, before_e[rows], before_v[rows])
    for row, w in zip(rows, wins):
        tenth = np.flatnonzero(outcomes[row] == 1)[LOSSES - 1]
        assert w == (outcomes[row, :tenth] == 0).sum()
    assert len(calls) <= len(rows) * 9  # about log2 of the round's 200 cycles a row
