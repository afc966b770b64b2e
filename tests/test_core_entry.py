"""corrshift's native entry (corrshift._core): its statistics, and its fast
kernels against the straightforward ones bit for bit on every build.

Ties share their average rank, an undefined correlation is NaN, r is capped
to [-1, 1] and its Fisher transform stays finite, and a permutation cycle in
which a statistic is undefined counts for nothing (`valid` counts the ones
that count).
"""

import numpy as np
import pytest
from scipy import stats

from corrshift import _core
from corrshift import _native_tests as native
from test_fast_kernels import ALTERNATIVES, METHODS, dealt_groups, hard_matrix, pair_lists, same_results


@pytest.fixture(params=native.available_kernels())
def build(request):
    native.use_kernels(request.param)
    yield request.param
    native.use_kernels("")


def sound_matrix(features, samples, seed):
    """The hard rows plus what corrshift's rules treat differently: sparse
    rows (mostly zeros: ties, and groups without variance in some cycles),
    an all-zero row, rows correlated exactly or nearly +-1 with row 0."""
    data = hard_matrix(features, samples, seed)
    rng = np.random.default_rng(seed + 100)
    sparse = np.where(rng.random(samples) < 0.15, rng.gamma(2.0, size=samples), 0.0)
    special = [sparse, np.zeros(samples), data[0] * 3 + 1, -data[0], data[0] + 1e-4 * rng.normal(size=samples),
               np.where(np.arange(samples) < 3, 1.0, 0.0)]
    for row, values in enumerate(special, start=10):
        if row < features:
            data[row] = values
    return data.astype(np.float32)


def both_engines(function, *args):
    return function(*args, None, None, native.sound_extras(), False), function(*args, None, None, native.sound_extras(), True)


SHAPES = [(16, 30, 12, 14), (40, 61, 30, 29), (70, 50, 23, 21)]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("processes", (1, 3))
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_fast_matches_reference(build, shape, method, processes, alternative):
    k, p, n1, n2 = shape
    data = sound_matrix(k, p, seed=k)
    g1, g2 = dealt_groups(p, n1, n2, seed=p)
    same_results(*both_engines(native.corrshift_ztest_exhaustive, data, g1, g2, method, alternative, 6,
                               processes))
    for aggregate in ("mean", "median"):
        same_results(*both_engines(native.corrshift_score_exhaustive, data, g1, g2, method, aggregate,
                                   alternative, 6, processes))


@pytest.mark.parametrize("pairs", ("all in order", "sorted random", "unsorted", "from a later row", "last rows"))
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_indexed_fast_matches_reference(build, pairs, method, alternative):
    k, p, n1, n2 = 40, 61, 30, 29
    data = sound_matrix(k, p, seed=11)
    g1, g2 = dealt_groups(p, n1, n2, seed=12)
    first, second = (a.astype(np.int32) for a in pair_lists(k, seed=13)[pairs])
    same_results(*both_engines(native.corrshift_ztest_indexed, data, first, second, g1, g2, method,
                               alternative, 5, 2))
    for aggregate in ("mean", "median"):
        same_results(*both_engines(native.corrshift_score_indexed, data, first, second, g1, g2, method,
                                   aggregate, alternative, 5, 2))


def test_large_groups_rank_from_sample_order_match_reference(build):
    """Groups large next to the sample count rank rows without ties from one
    sort per call; rows with ties take the average-rank path."""
    data = sound_matrix(30, 64, seed=3)
    data[20] = np.round(data[20])
    g1, g2 = np.arange(32, dtype=np.int32), np.arange(32, 64, dtype=np.int32)
    same_results(*both_engines(native.corrshift_ztest_exhaustive, data, g1, g2, "spearman", "two-sided", 4, 2))


def test_average_ranks():
    row = np.array([[3.0, 1.0, 3.0, np.nan, 2.0, 3.0, -0.0, 0.0]], dtype=np.float32)
    ranks = native.average_rank_rows(row, np.full_like(row, -1), np.arange(8, dtype=np.int32), 1)
    np.testing.assert_array_equal(ranks[0], [5.0, 2.0, 5.0, np.nan, 3.0, 5.0, 0.5, 0.5])
    # Over some columns only, others untouched.
    ranks = native.average_rank_rows(row, np.full_like(row, -1), np.array([0, 2, 4], dtype=np.int32), 1)
    np.testing.assert_array_equal(ranks[0], [1.5, -1, 1.5, -1, 0.0, -1, -1, -1])


def spearman(x, y):
    return stats.spearmanr(x, y).statistic


@pytest.mark.parametrize("method, reference", [("pearson", np.corrcoef), ("spearman", spearman)])
def test_correlations_of_tied_sparse_data(method, reference):
    """Within 1e-4 of float64 scipy/numpy on data with many ties, and the
    same whatever the order of the samples."""
    rng = np.random.default_rng(0)
    k, p = 12, 80
    data = np.where(rng.random((k, p)) < 0.6, 0.0, np.round(rng.gamma(1.5, size=(k, p)), 1)).astype(np.float32)
    g1, g2 = np.arange(40, dtype=np.int32), np.arange(40, 80, dtype=np.int32)
    r1, r2, z, *_ = _core.ztest_exhaustive(data, g1, g2, method, "two-sided", 0, 2)
    first, second = np.triu_indices(k, 1)
    for r, g in ((r1, g1), (r2, g2)):
        expected = [np.asarray(reference(data[i, g].astype(float), data[j, g].astype(float)))
                    for i, j in zip(first, second)]
        expected = np.array([e[0, 1] if e.ndim == 2 else e for e in expected])
        np.testing.assert_allclose(r, expected, atol=1e-4)
    shuffled = rng.permutation(p)
    inverse = np.argsort(shuffled).astype(np.int32)
    again = _core.ztest_exhaustive(np.ascontiguousarray(data[:, shuffled]), inverse[g1], inverse[g2], method,
                                   "two-sided", 0, 2)
    np.testing.assert_allclose(again[0], r1, atol=1e-5)
    np.testing.assert_allclose(again[1], r2, atol=1e-5)


# Constants whose float sum over 15 samples does not divide back to them
# exactly: the row is still constant, whatever its mean rounds to.
@pytest.mark.parametrize("constant", [7.0, 0.1, 1 / 3, 100000.3])
def test_undefined_correlations_are_nan_and_count_for_nothing(constant):
    """A row constant within group 1 has NaN correlations there (never -2),
    NaN differences and no cycle counted against it where it is constant in
    a dealt group; a perfectly correlated pair is capped at 1 with a finite
    difference."""
    rng = np.random.default_rng(2)
    p, m = 30, 200
    data = rng.normal(size=(4, p)).astype(np.float32)
    data[1, :15] = constant                # constant within group 1
    data[2] = np.isin(np.arange(p), [0, 20])   # one non-zero sample per group: constant in many dealt groups
    data[3] = data[0] * 2 + 1                # r = 1 with row 0
    g1, g2 = np.arange(15, dtype=np.int32), np.arange(15, 30, dtype=np.int32)
    r1, r2, z, p_normal, extreme, valid = _core.ztest_exhaustive(data, g1, g2, "pearson", "two-sided", m, 2)
    first, second = np.triu_indices(4, 1)
    involves1 = (first == 1) | (second == 1)
    assert np.isnan(r1[involves1]).all() and not np.isnan(r2[involves1]).any()
    assert np.isnan(z[involves1]).all() and np.isnan(p_normal[involves1]).all()
    assert (extreme[involves1] == 0).all()
    involves2 = (first == 2) | (second == 2)
    assert (valid[involves2] < m).all() and (valid[involves2] > 0).all()
    assert (valid[~involves2] == m).all()
    pair03 = np.flatnonzero((first == 0) & (second == 3))[0]
    assert abs(r1[pair03]) <= 1 and abs(r2[pair03]) <= 1 and np.isfinite(z[pair03])
    assert (extreme <= valid).all()


@pytest.mark.parametrize(("aggregate", "reduce"), [("mean", np.mean), ("median", lambda v: np.sort(v)[len(v) // 2])],
                         ids=["mean", "median"])
def test_scores_leave_undefined_pairs_out(aggregate, reduce):
    """A feature's score is the mean (median) of |z| over its defined pairs:
    a constant feature does not enter the others' scores and has NaN."""
    rng = np.random.default_rng(4)
    k, p = 6, 40
    data = rng.normal(size=(k, p)).astype(np.float32)
    data[0:2] += rng.normal(size=p).astype(np.float32)
    data[5, :20] = 0.0
    g1, g2 = np.arange(20, dtype=np.int32), np.arange(20, 40, dtype=np.int32)
    _, _, z, *_ = _core.ztest_exhaustive(data, g1, g2, "pearson", "two-sided", 0, 1)
    first, second = np.triu_indices(k, 1)
    score, extreme, valid = _core.score_exhaustive(data, g1, g2, "pearson", aggregate, "two-sided", 50, 1)
    for f in range(k):
        mine = np.abs(z[(first == f) | (second == f)])
        defined = mine[~np.isnan(mine)]
        if len(defined) == 0:
            assert np.isnan(score[f])
        else:
            assert score[f] == pytest.approx(reduce(defined), rel=1e-6)
    assert np.isnan(score[5]) and (valid[:5] == 50).all() and (extreme <= valid).all()


@pytest.mark.parametrize("call", [
    lambda d, g1, g2: _core.ztest_exhaustive(d, g1, g2, "Pearson", "two-sided", 1, 1),
    lambda d, g1, g2: _core.ztest_exhaustive(d, g1, g2, "pearson", "both", 1, 1),
    lambda d, g1, g2: _core.score_exhaustive(d, g1, g2, "pearson", "max", "two-sided", 1, 1),
])
def test_unknown_words_are_refused(call):
    data = np.zeros((3, 6), dtype=np.float32)
    g = np.arange(3, dtype=np.int32)
    with pytest.raises(ValueError, match="must be"):
        call(data, g, g + 3)


def test_progress_goes_to_the_callable_and_nothing_is_printed(capfd):
    data = np.random.default_rng(0).normal(size=(5, 20)).astype(np.float32)
    g1, g2 = np.arange(10, dtype=np.int32), np.arange(10, 20, dtype=np.int32)
    seen = []
    _core.score_exhaustive(data, g1, g2, "spearman", "mean", "two-sided", 4, 2,
                           progress=lambda done, total: seen.append((done, total)))
    _core.ztest_exhaustive(data, g1, g2, "pearson", "less", 3, 1)
    # Before the first cycle and after the last; between them at most every
    # few milliseconds.
    assert seen[0] == (0, 5) and seen[-1] == (5, 5)
    assert all(a[0] <= b[0] for a, b in zip(seen, seen[1:]))
    assert capfd.readouterr().out == ""


def test_other_threads_run_while_it_computes():
    """The interpreter lock is free while the engine computes: a thread woken
    at the first progress report runs before the last one. The switch
    interval is made far longer than the call, so a thread could not take a
    lock that the call held."""
    import sys
    import threading

    go, ran = threading.Event(), threading.Event()
    thread = threading.Thread(target=lambda: go.wait() and ran.set())
    reports = []

    def progress(done, total):
        if done == 0:
            go.set()
        reports.append(ran.is_set())

    data = np.random.default_rng(1).normal(size=(300, 200)).astype(np.float32)
    g1, g2 = np.arange(100, dtype=np.int32), np.arange(100, 200, dtype=np.int32)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    thread.start()
    try:
        _core.ztest_exhaustive(data, g1, g2, "pearson", "two-sided", 40, 1, progress=progress)
    finally:
        sys.setswitchinterval(interval)
        go.set()
        thread.join()
    assert reports[0] is False and reports[-1] is True


CAP = np.float32(1) - np.float32(2.0 ** -24)


@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_tally_decides_as_the_exact_differences_up_to_one(build, alternative):
    """Without the clamp at 0.99 correlations reach +-1, where the tally's
    shortcut through tanh loses its error bound: pairs with correlations
    beyond 0.99, observed values a few units in the last place from the exact
    difference, and undefined (NaN) correlations, which count for nothing."""
    rng = np.random.default_rng(6)
    m = 200_000
    near_one = (1 - 10 ** rng.uniform(-7.5, -1.7, m)).astype(np.float32)
    c1 = np.where(rng.random(m) < 0.5, near_one, rng.uniform(-1, 1, m)).astype(np.float32)
    c2 = np.where(rng.random(m) < 0.5, np.roll(near_one, 7), rng.uniform(-1, 1, m)).astype(np.float32)
    c1 *= rng.choice([-1, 1], m).astype(np.float32)
    c1[:1000], c2[1000:2000] = np.float32(1), np.float32(-1)
    c1[3000:3050] = np.nan
    d = exact_fisher(np.clip(c1, -CAP, CAP)) - exact_fisher(np.clip(c2, -CAP, CAP))
    ulps = rng.integers(-3, 4, m)
    observed = np.nextafter(d, np.where(ulps > 0, np.inf, -np.inf), dtype=np.float32)
    observed = np.where(ulps == 0, d, observed).astype(np.float32)
    observed = np.roll(observed, 1) if alternative == "less" else observed
    observed[2000:2050] = np.nan
    expected = {"two-sided": np.abs(d) >= np.abs(observed), "greater": d >= observed,
                "less": d <= observed}[alternative]
    counts, undefined = native.tally_lanes(c1, c2, observed, alternative, sound=True)
    wrong = counts != expected.astype(np.uint32)
    assert not wrong.any(), f"{wrong.sum()} decisions differ, first at {np.flatnonzero(wrong)[:5]}"
    np.testing.assert_array_equal(undefined, np.isnan(d))


def tail_matrix(features, samples, seed):
    """Rows whose correlations within each group run from near 0 to within
    1e-6 of +-1, so that the pairs' differences range from tiny to huge."""
    rng = np.random.default_rng(seed)
    data = np.empty((features, samples))
    for columns in (slice(0, samples // 2), slice(samples // 2, samples)):
        base = rng.normal(size=samples // 2)
        weights = rng.choice([-1, 1], features) * (1 - 10.0 ** -rng.uniform(0, 6, features))
        for row, w in enumerate(weights):
            data[row, columns] = w * base + np.sqrt(1 - w * w) * rng.normal(size=samples // 2)
    return data.astype(np.float32)


def standard_error(n1, n2):
    """The float32 standard error of the engine: sqrt(se1^2 + se2^2)."""
    se1, se2 = (np.float32(1 / np.sqrt(n - 3.0)) for n in (n1, n2))
    return np.float32(np.sqrt(np.float64(se2 * se2 + se1 * se1)))


@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_normal_pvalues_within_one_float_step_of_exact(alternative):
    """p_normal against scipy's normal tail of z_diff / se (divided in
    float32, as the engine divides) for p-values from 1 down to float
    denormals and 0: within one float step (2^-23 relative, 2^-149 among
    the denormals)."""
    data = tail_matrix(64, 100, seed=3)
    g1, g2 = np.arange(50, dtype=np.int32), np.arange(50, 100, dtype=np.int32)
    _, _, z, p, _, _ = _core.ztest_exhaustive(data, g1, g2, "pearson", alternative, 0, 2)
    x = (z / standard_error(50, 50)).astype(np.float64)
    exact = {"less": stats.norm.cdf(x), "greater": stats.norm.sf(x),
             "two-sided": 2 * stats.norm.sf(np.abs(x))}[alternative]
    error = np.abs(p.astype(np.float64) - exact)
    assert (error <= np.maximum(exact * 2.0**-23, 2.0**-149)).all(), f"largest error {error.max():.3g}"
    tiny = np.abs(x) > 13.9
    assert ((exact < 1.2e-38) & (p > 0)).sum() > 10 and (tiny & (x < 0)).any() and (tiny & (x > 0)).any()


def exact_fisher(c):
    out = np.empty_like(c)
    native.reference_fisher_transform(c, out)
    return out


# --- dealing within strata ----------------------------------------------------------------------


def test_each_stratum_keeps_its_group_counts():
    strata = [0, 1, 0, 2, 1, 0, 0, 1, 2, 2, -1, 1, 0]
    g1, g2 = [0, 1, 3, 4, 8], [2, 5, 7, 9, 11]
    for d1, d2 in native.stratified_groups(strata, g1, g2, 50):
        for group, caller in ((d1, g1), (d2, g2)):
            assert sorted(strata[c] for c in group) == sorted(strata[c] for c in caller)
        assert len(set(d1) | set(d2)) == 10 and 10 not in d1 + d2


def test_one_stratum_of_all_samples_deals_as_without_strata(build):
    data = sound_matrix(20, 30, seed=9)
    g1, g2 = dealt_groups(30, 12, 14, seed=3)
    one = np.zeros(30, dtype=np.int32)
    for function, args in ((_core.ztest_exhaustive, (data, g1, g2, "spearman", "less", 7, 2)),
                           (_core.score_exhaustive, (data, g1, g2, "pearson", "median", "two-sided", 7, 2))):
        same_results(function(*args, strata=one), function(*args))


@pytest.mark.parametrize("strata", [None, "three strata"])
def test_results_do_not_depend_on_the_thread_count(strata):
    """The pool deals the same units to any number of threads, and the
    dealing (within strata too) runs on the calling thread."""
    data = sound_matrix(30, 40, seed=5)
    g1, g2 = dealt_groups(40, 15, 15, seed=5)
    labels = None if strata is None else (np.arange(40) % 3).astype(np.int32)
    for call in (lambda t: _core.ztest_exhaustive(data, g1, g2, "spearman", "two-sided", 9, t, strata=labels),
                 lambda t: _core.score_exhaustive(data, g1, g2, "pearson", "median", "less", 9, t, strata=labels)):
        one = call(1)
        for threads in (2, 3, 7):
            same_results(call(threads), one)


def test_strata_fast_matches_reference(build):
    data = sound_matrix(30, 40, seed=2)
    g1, g2 = dealt_groups(40, 15, 15, seed=1)
    strata = (np.arange(40) % 3).astype(np.int32)
    strata[g1[:2]] = 3  # a stratum of group-1 members only: always dealt to group 1
    args = (data, g1, g2, "pearson", "two-sided", 9, 2, None, strata)
    same_results(native.corrshift_ztest_exhaustive(*args, native.sound_extras(), False),
                 native.corrshift_ztest_exhaustive(*args, native.sound_extras(), True))


@pytest.mark.parametrize("strata, message", [
    (np.zeros(5, dtype=np.int32), "one stratum per sample"),
    (np.r_[np.zeros(9), -2].astype(np.int32), "-1 \\(none\\) or a number"),
    (np.r_[-1, np.zeros(9)].astype(np.int32), "is in no stratum"),
])
def test_strata_that_cannot_be_dealt_are_refused(strata, message):
    data = np.zeros((3, 10), dtype=np.float32)
    g1, g2 = np.arange(5, dtype=np.int32), np.arange(5, 10, dtype=np.int32)
    with pytest.raises(ValueError, match=message):
        _core.ztest_exhaustive(data, g1, g2, "pearson", "two-sided", 1, 1, strata=strata)


# --- units of listed pairs (gene sets) ---------------------------------------------------------


def set_pairs(sets):
    """All pairs inside each set, set after set, and where each set begins."""
    first, second, starts = [], [], []
    for members in sets:
        starts.append(len(first))
        a, b = np.triu_indices(len(members), 1)
        first += [members[i] for i in a]
        second += [members[j] for j in b]
    return (np.array(first, dtype=np.int32), np.array(second, dtype=np.int32), np.array(starts, dtype=np.int32))


def test_units_score_the_pairs_of_each_set(build):
    data = sound_matrix(30, 50, seed=4)
    g1, g2 = dealt_groups(50, 25, 25, seed=4)
    sets = [[0, 3, 5, 11], [2, 10, 11, 12, 13, 20], [7], [4, 9]]  # a set of one feature has no pair
    first, second, starts = set_pairs(sets)
    _, _, z, *_ = _core.ztest_indexed(data, first, second, g1, g2, "pearson", "two-sided", 0, 1)
    for aggregate in ("mean", "median"):
        args = (data, first, second, starts, g1, g2, "pearson", aggregate, "two-sided", 20, 2, None, None)
        fast = native.corrshift_score_units(*args, native.sound_extras(), False)
        same_results(fast, native.corrshift_score_units(*args, native.sound_extras(), True))
        score, extreme, valid = fast
        bounds = list(starts) + [len(first)]
        for u in range(len(sets)):
            values = np.abs(z[bounds[u]:bounds[u + 1]])
            values = values[~np.isnan(values)]
            if len(values) == 0:
                assert np.isnan(score[u]) and valid[u] == 0
            elif aggregate == "mean":
                assert score[u] == pytest.approx(values.mean(), rel=1e-6)
            else:
                assert score[u] == np.sort(values)[len(values) // 2]


@pytest.mark.parametrize("aggregate", ("mean", "median"))
def test_units_that_split_a_stretch_of_consecutive_pairs(build, aggregate):
    # Pairs (0, 1) .. (0, 39) in units of 3, 17, 1 and 18 pairs: the pair
    # kernel computes long stretches of one first row together, and each
    # unit must count only its own pairs.
    data = sound_matrix(40, 50, seed=8)
    g1, g2 = dealt_groups(50, 25, 25, seed=8)
    first = np.zeros(39, dtype=np.int32)
    second = np.arange(1, 40, dtype=np.int32)
    starts = np.array([0, 3, 20, 21], dtype=np.int32)
    args = (data, first, second, starts, g1, g2, "pearson", aggregate, "two-sided", 30, 2, None, None)
    fast = native.corrshift_score_units(*args, native.sound_extras(), False)
    same_results(fast, native.corrshift_score_units(*args, native.sound_extras(), True))
    assert (fast[2] == 30).all()


def rectangle_pairs(features, between):
    """The rectangle of rows [0, between) with the other rows, row by row, as listed pairs."""
    width = features - between
    return (np.repeat(np.arange(between), width).astype(np.int32),
            np.tile(np.arange(between, features), between).astype(np.int32))


@pytest.mark.parametrize("between", (1, 7, 39))
@pytest.mark.parametrize("method", METHODS)
def test_rectangle_of_two_feature_sets(build, between, method):
    # The rectangle counts what its listed pairs count, and scores each row
    # over its pairs with the other set, on either engine.
    data = sound_matrix(40, 61, seed=between)
    g1, g2 = dealt_groups(61, 30, 29, seed=between)
    first, second = rectangle_pairs(40, between)
    for processes in (1, 3):
        rect = native.sound_extras(seed=9, between=between)
        fast = native.corrshift_ztest_exhaustive(data, g1, g2, method, "two-sided", 12, processes, None, None,
                                                 rect, False)
        same_results(fast, _core.ztest_indexed(data, first, second, g1, g2, method, "two-sided", 12, processes,
                                               seed=9))
        same_results(fast, native.corrshift_ztest_exhaustive(data, g1, g2, method, "two-sided", 12, processes,
                                                             None, None, rect, True))
        # Units: each row's pairs with the other set, in the other set's order.
        unit_first, unit_second, starts = [], [], []
        for row in range(40):
            starts.append(len(unit_first))
            mine = np.flatnonzero((first == row) | (second == row))
            unit_first += list(first[mine])
            unit_second += list(second[mine])
        units = (np.array(unit_first, np.int32), np.array(unit_second, np.int32), np.array(starts, np.int32))
        for aggregate in ("mean", "median"):
            scores = native.corrshift_score_exhaustive(data, g1, g2, method, aggregate, "greater", 12, processes,
                                                       None, None, rect, False)
            same_results(scores, _core.score_units(data, *units, g1, g2, method, aggregate, "greater", 12,
                                                   processes, seed=9))
            same_results(scores, native.corrshift_score_exhaustive(data, g1, g2, method, aggregate, "greater", 12,
                                                                   processes, None, None, rect, True))


@pytest.mark.parametrize("between", (-1, 5, 9))
def test_rectangle_needs_rows_in_both_sets(between):
    data = np.zeros((5, 10), dtype=np.float32)
    g = np.arange(5, dtype=np.int32)
    with pytest.raises(ValueError, match="between must lie in 1 .. 4"):
        _core.ztest_exhaustive(data, g, g + 5, "pearson", "two-sided", 0, 1, between=between)


def test_units_of_runs_score_as_runs():
    data = sound_matrix(20, 40, seed=6)
    g1, g2 = dealt_groups(40, 20, 20, seed=6)
    first, second = (a.astype(np.int32) for a in np.triu_indices(20, 1))
    starts = np.flatnonzero(np.r_[True, first[1:] != first[:-1]]).astype(np.int32)
    args = (data, first, second, g1, g2, "spearman", "median", "less", 9, 2)
    runs = _core.score_indexed(*args)
    units = _core.score_units(data, first, second, starts, g1, g2, "spearman", "median", "less", 9, 2)
    same_results(units, runs[1:])


@pytest.mark.parametrize("starts", [[0, 5, 3], [-1, 2], [0, 99]])
def test_units_must_ascend_within_the_pairs(starts):
    data = np.zeros((4, 10), dtype=np.float32)
    first, second = (a.astype(np.int32) for a in np.triu_indices(4, 1))
    g = np.arange(5, dtype=np.int32)
    with pytest.raises(ValueError, match="unit_starts must ascend"):
        _core.score_units(data, first, second, np.array(starts, dtype=np.int32), g, g + 5, "pearson", "mean",
                          "two-sided", 1, 1)


def test_type_stub_matches_the_module():
    """_core.pyi declares every function of the module with the binding's
    parameters (names, order, defaults) and array types."""
    import ast
    import pathlib
    import re

    stub = ast.parse(pathlib.Path(_core.__file__).with_name("_core.pyi").read_text())
    functions = {n.name: n for n in stub.body if isinstance(n, ast.FunctionDef)}
    assert sorted(functions) == sorted(n for n in dir(_core) if not n.startswith("_"))
    spelled = {"_F32": "numpy.float32", "_I32": "numpy.int32", "_U32": "numpy.uint32", "_F64": "numpy.float64", "_I8": "numpy.int8"}
    for name, f in functions.items():
        signature = getattr(_core, name).__doc__.splitlines()[0]
        params = re.findall(r"(\w+): ([\w.\[\]]+)(?: = [\w.]+)?", signature.split(") -> ")[0])
        assert [p.arg for p in f.args.args] == [p for p, _ in params]
        defaults = re.findall(r" = ([\w.]+)", signature.split(") -> ")[0])
        assert [ast.unparse(d) for d in f.args.defaults] == defaults
        for p, (_, bound) in zip(f.args.args, params):
            text = ast.unparse(p.annotation)
            if text in spelled:
                assert bound == f"numpy.ndarray[{spelled[text]}]"
        results = re.findall(r"numpy\.(\w+)\]", signature.split(") -> ")[1])
        returned = f.returns.slice.elts if isinstance(f.returns, ast.Subscript) else [f.returns]
        arrays = [ast.unparse(e) for e in returned if ast.unparse(e) in spelled]
        assert [spelled[a].split(".")[1] for a in arrays] == results


@pytest.mark.parametrize("kind", ["every value twice", "counts"])
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_tied_rows_ranked_from_their_order_match_reference(build, kind, alternative):
    """Groups large next to the sample count: each row is ranked from its order over all samples,
    found once per call; rows with ties (what corrshift hands the engine under "spearman": each
    value once in each group, or counts full of zeros) get their average ranks from counts within
    each block of ties, as the straightforward kernels rank them."""
    rng = np.random.default_rng(21)
    k, p = 24, 80
    if kind == "counts":
        data = rng.poisson(0.7, size=(k, p)).astype(np.float32)
    else:
        half = rng.normal(size=(k, p // 2)).astype(np.float32)
        data = np.concatenate([half, half], axis=1)
        data = data[:, rng.permutation(p)]
    g1, g2 = dealt_groups(p, 40, 40, seed=3)
    same_results(*both_engines(native.corrshift_ztest_exhaustive, data, g1, g2, "spearman", alternative, 7, 2))
