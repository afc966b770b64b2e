"""The fast kernels against the straightforward ones, bit for bit.

Every module function runs on packed panels, register tiles and a
vectorised Fisher transform; the test extension keeps the straightforward
kernels as reference_* functions. Both must return the same bits (NaN where
NaN) for every build of the fast kernels this CPU runs, on data with NaN,
constant rows, ties and duplicated columns, for every method, alternative,
aggregate, pair mode and process count.
"""


import numpy as np
import pipelines
import pytest

from corrshift import _native_tests as native

ALTERNATIVES = ("two-sided", "greater", "less")
METHODS = ("pearson", "spearman")


@pytest.fixture(params=native.available_kernels())
def build(request):
    """Runs the test once per kernel build the CPU supports."""
    native.use_kernels(request.param)
    yield request.param
    native.use_kernels("")


def same_bits(got, expected):
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.dtype == expected.dtype and got.shape == expected.shape
    if got.dtype.kind == "f":
        both_nan = np.isnan(got) & np.isnan(expected)
        differ = (got.view(np.uint32) != expected.view(np.uint32)) & ~both_nan
    else:
        differ = got != expected
    assert not differ.any(), f"{differ.sum()} entries differ, first at {np.flatnonzero(differ)[:5]}"


def same_results(got, expected):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        same_bits(g, e)


def hard_matrix(features, samples, seed):
    """Random rows plus the rows that take other paths: a constant row, a row
    constant in the first samples only, a NaN, rounded values (ties), a
    duplicated row, a row of equal magnitudes with both signs, large values."""
    rng = np.random.default_rng(seed)
    data = rng.normal(size=(features, samples)).astype(np.float32)
    base = rng.normal(size=(4, samples)).astype(np.float32)
    special = [
        np.full(samples, 2.5, dtype=np.float32),
        np.r_[np.ones(samples // 2), rng.normal(size=samples - samples // 2)].astype(np.float32),
        np.where(np.arange(samples) == samples // 3, np.nan, base[0]).astype(np.float32),
        np.round(base[1] * 2).astype(np.float32),
        data[0].copy(),
        np.where(rng.random(samples) < 0.5, -1.0, 1.0).astype(np.float32),
        (base[3] * 1e6 + 3e7).astype(np.float32),
    ]
    for row, values in enumerate(special, start=3):
        if row < features:
            data[row] = values
    return data


def dealt_groups(samples, n1, n2, seed):
    order = np.random.default_rng(seed).permutation(samples).astype(np.int32)
    return order[:n1].copy(), order[n1:n1 + n2].copy()


# (K, P, n1, n2): sizes off the vector width, one larger than a tile, and one
# whose panels exceed the cache stretch so second rows come in several passes.
SHAPES = [(3, 12, 5, 6), (37, 50, 23, 21), (70, 61, 30, 29)]
LARGE = (300, 520, 260, 250)


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("processes", (1, 2, 3))
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_ztest_exhaustive_matches_reference(build, shape, method, processes, alternative):
    k, p, n1, n2 = shape
    data = hard_matrix(k, p, seed=k)
    g1, g2 = dealt_groups(p, n1, n2, seed=p)
    args = (data, g1, g2, method, alternative, 4, processes)
    same_results(pipelines._ztest_pipeline_exhaustive(*args), native.reference_ztest_exhaustive(*args))


@pytest.mark.parametrize("method", METHODS)
def test_large_exhaustive_matches_reference(build, method):
    k, p, n1, n2 = LARGE
    data = hard_matrix(k, p, seed=5)
    g1, g2 = dealt_groups(p, n1, n2, seed=6)
    args = (data, g1, g2, method, "two-sided", 1, 2)
    same_results(pipelines._ztest_pipeline_exhaustive(*args), native.reference_ztest_exhaustive(*args))


def pair_lists(k, seed):
    """Listed pairs of several kinds: every pair in order (runs like the
    exhaustive order), sorted random pairs, unsorted random pairs with
    reversed orientation, repeats and a row paired with itself, and pairs
    of the later rows only (a chunk of the condensed order from a later
    first row, and the last rows alone: the rows before them are not
    packed)."""
    rng = np.random.default_rng(seed)
    first, second = np.triu_indices(k, 1)
    random_first = np.sort(rng.integers(0, k, 3 * k))
    random_second = rng.integers(0, k, 3 * k)
    mixed_first = np.r_[second[::3], 0, 1, 1, first[:5]]
    mixed_second = np.r_[first[::3], 0, 1, 1, second[:5]]
    return {
        "all in order": (first, second),
        "sorted random": (random_first, random_second),
        "unsorted": (mixed_first, mixed_second),
        "from a later row": (first[first >= 2 * k // 3], second[first >= 2 * k // 3]),
        "last rows": (first[first >= k - 4], second[first >= k - 4]),
    }


@pytest.mark.parametrize("pairs", ("all in order", "sorted random", "unsorted", "from a later row", "last rows"))
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("processes", (1, 3))
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_indexed_functions_match_reference(build, pairs, method, processes, alternative):
    k, p, n1, n2 = 70, 61, 30, 29
    data = hard_matrix(k, p, seed=11)
    g1, g2 = dealt_groups(p, n1, n2, seed=12)
    first, second = (a.astype(np.int32) for a in pair_lists(k, seed=13)[pairs])
    args = (data, first, second, g1, g2, method, alternative, 3, processes)
    same_results(pipelines._ztest_pipeline_indexed(*args), native.reference_ztest_indexed(*args))
    for aggregate in ("mean", "median"):
        args = (data, first, second, g1, g2, method, aggregate, alternative, 3, processes)
        same_results(pipelines._score_pipeline_indexed(*args), native.reference_score_indexed(*args))


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("aggregate", ("mean", "median"))
@pytest.mark.parametrize("processes", (1, 2, 3))
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_score_exhaustive_matches_reference(build, shape, method, aggregate, processes, alternative):
    k, p, n1, n2 = shape
    data = hard_matrix(k, p, seed=k + 1)
    g1, g2 = dealt_groups(p, n1, n2, seed=p + 1)
    args = (data, g1, g2, method, aggregate, alternative, 5, processes)
    same_results(pipelines._score_pipeline_exhaustive(*args), native.reference_score_exhaustive(*args))


# Caller groups that the dealt ones never are: a column listed twice, a
# column in both groups (group 2's rank wins under "spearman"), tiny groups;
# also with groups large enough next to the sample count that "spearman"
# ranks rows from their order over all samples.
CALLER_GROUPS = {
    "duplicated column": ([0, 1, 2, 2, 5, 7, 9, 11], [3, 4, 6, 8, 10, 12, 13]),
    "shared columns": ([0, 1, 2, 3, 4, 5], [4, 5, 6, 7, 8, 9]),
    "tiny groups": ([0, 1, 2], [3, 4]),
    "empty group": ([], [3, 4, 5, 6]),
    "large groups, shared columns": (list(range(30)), list(range(25, 55))),
    "large groups, duplicated column": (list(range(29)) + [5], list(range(30, 60))),
}


@pytest.mark.parametrize("groups", tuple(CALLER_GROUPS))
@pytest.mark.parametrize("method", METHODS)
def test_unusual_caller_groups_match_reference(build, groups, method):
    data = hard_matrix(20, 61, seed=3)
    g1, g2 = (np.array(g, dtype=np.int32) for g in CALLER_GROUPS[groups])
    args = (data, g1, g2, method, "two-sided", 2, 2)
    same_results(pipelines._ztest_pipeline_exhaustive(*args), native.reference_ztest_exhaustive(*args))
    args = (data, g1, g2, method, "median", "greater", 2, 2)
    same_results(pipelines._score_pipeline_exhaustive(*args), native.reference_score_exhaustive(*args))


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_permuted_differences_equal_to_observed_count(build, method, alternative):
    """The caller's groups are the ones the first permutation cycle deals, so
    that cycle's differences and medians equal the observed ones: ties,
    which the permutation tally decides with the exact differences."""
    k, p, n1, n2 = 70, 40, 19, 18
    data = hard_matrix(k, p, seed=8)
    order = np.array(native.sample_orders(p, 1)[0], dtype=np.int32)
    g1, g2 = order[:n1].copy(), order[n1:n1 + n2].copy()
    args = (data, g1, g2, method, alternative, 2, 2)
    got = pipelines._ztest_pipeline_exhaustive(*args)
    same_results(got, native.reference_ztest_exhaustive(*args))
    assert (got[4][~np.isnan(got[2])] >= 0.5).all()
    # Each feature's median is then one of its own differences.
    args = (data, g1, g2, method, "median", alternative, 2, 2)
    got = pipelines._score_pipeline_exhaustive(*args)
    same_results(got, native.reference_score_exhaustive(*args))
    assert (got[1][~np.isnan(got[0])] >= 0.5).all()


def test_unknown_alternative_matches_reference(build):
    data = hard_matrix(12, 20, seed=4)
    g1, g2 = dealt_groups(20, 9, 9, seed=4)
    args = (data, g1, g2, "pearson", "Less", 3, 2)
    same_results(pipelines._ztest_pipeline_exhaustive(*args), native.reference_ztest_exhaustive(*args))


def fisher_samples():
    """Random floats in [-0.99, 0.99], every float near the ends, zeros,
    tiny values around the series boundary, and NaNs."""
    rng = np.random.default_rng(0)
    edge = np.float32(0.99).view(np.uint32)
    near_edge = np.arange(edge - 4000, edge + 1, dtype=np.uint32).view(np.float32)
    boundary = np.float32(2.0 ** -7).view(np.uint32)
    near_boundary = np.arange(boundary - 3000, boundary + 3000, dtype=np.uint32).view(np.float32)
    values = np.r_[
        rng.uniform(-0.99, 0.99, 400_000).astype(np.float32),
        near_edge, -near_edge, near_boundary, -near_boundary,
        np.float32([0.0, -0.0, 1e-45, -1e-45, 1e-30, 2.0 ** -28, 0.5, -0.5, 0.99, -0.99, np.nan, -np.nan]),
    ].astype(np.float32)
    return values


def test_fisher_transform_matches_reference(build):
    values = fisher_samples()
    fast, reference = np.empty_like(values), np.empty_like(values)
    native.fast_fisher_transform(values, fast)
    native.reference_fisher_transform(values, reference)
    same_bits(fast, reference)


def exact_fisher(c):
    out = np.empty_like(c)
    native.reference_fisher_transform(c, out)
    return out


def tanh_samples():
    """Fisher differences of every size the tally meets (up to about
    +-8.7), every float around the switch between the two ways of taking
    exp(2y) - 1 (2y = 1/2) and around the cut at 9.5, zeros, denormals,
    huge and infinite values, NaN."""
    rng = np.random.default_rng(1)
    around = [np.arange(b - 2000, b + 2000, dtype=np.uint32).view(np.float32)
              for b in (np.float32(0.25).view(np.uint32), np.float32(9.5).view(np.uint32))]
    values = np.r_[
        rng.uniform(-9.0, 9.0, 200_000), rng.normal(scale=0.05, size=100_000), 10.0 ** rng.uniform(-40, 1, 50_000),
        *around, np.arange(-2**16, 2**16) / 2**12,
    ].astype(np.float32)
    values = np.r_[values, -values[:50_000],
                   np.float32([0.0, -0.0, 1e-45, -1e-45, 3e38, -3e38, np.inf, -np.inf, np.nan])].astype(np.float32)
    return values


def test_tanh_matches_reference_and_is_within_a_float_step(build):
    """The tally's observed tanh: the vector form equals the scalar one bit
    for bit on every build, and both lie within one float step of tanh in
    double precision, nearly always the float nearest to it."""
    values = tanh_samples()
    fast, reference = np.empty_like(values), np.empty_like(values)
    native.tanh_of_differences(values, fast)
    native.tanh_of_differences(values, reference, reference=True)
    same_bits(fast, reference)
    exact = np.tanh(values.astype(np.float64))
    nearest = exact.astype(np.float32)
    assert np.array_equal(np.isnan(reference), np.isnan(values))
    defined = ~np.isnan(values)
    steps = np.abs(reference[defined].astype(np.float64) - exact[defined]) / np.spacing(np.abs(nearest[defined]))
    assert steps.max() <= 1.0
    assert (reference[defined] == nearest[defined]).mean() > 0.9999
    assert np.array_equal(np.signbit(reference[defined]), np.signbit(values[defined]))


@pytest.mark.parametrize("alternative", ALTERNATIVES)
def test_tally_decides_as_the_exact_differences(build, alternative):
    """The permutation tally decides most pairs without the exact transform;
    observed values a few units in the last place to a few thousandths away
    from the exact difference, on both sides, must be counted as comparing
    the exact difference counts them."""
    rng = np.random.default_rng(5)
    m = 300_000
    c1 = rng.uniform(-0.99, 0.99, m).astype(np.float32)
    c2 = rng.uniform(-0.99, 0.99, m).astype(np.float32)
    c1[:2000], c2[2000:4000] = np.float32(0.99), np.float32(-0.99)
    c1[50:100] = np.nan
    d = exact_fisher(c1) - exact_fisher(c2)
    ulps = rng.integers(-4, 5, m)
    relative = rng.choice([0.0, 1.0], m) * rng.uniform(-2e-3, 2e-3, m)
    observed = (d + d * relative).astype(np.float32)
    observed = np.nextafter(observed, np.where(ulps > 0, np.inf, -np.inf), dtype=np.float32)
    observed = np.where(ulps == 0, d, observed).astype(np.float32)
    sign = rng.choice([-1, 1], m).astype(np.float32)  # two-sided: the observed sign must not matter
    if alternative == "two-sided":
        observed *= sign
    observed[:50] = np.nan
    if alternative == "two-sided":
        expected = np.abs(d) >= np.abs(observed)
    elif alternative == "greater":
        expected = d >= observed
    else:
        expected = d <= observed
    got = native.tally_lanes(c1, c2, observed, alternative)
    wrong = got != expected.astype(np.uint32)
    assert not wrong.any(), f"{wrong.sum()} decisions differ, first at {np.flatnonzero(wrong)[:5]}"


@pytest.mark.parametrize("sorted_keys", (False, True))
@pytest.mark.parametrize(
    "values, expected",
    [
        ([0.5, -1.0, 3.0, 2.0], [1, 0, 3, 2]),
        ([7.0], [0]),
        ([0.5, -1.0, 0.5], None),  # tie
        ([0.0, -0.0], None),  # equal under <
        ([1.0, np.nan, 2.0], None),
        ([np.nan, np.nan], None),
    ],
)
def test_distinct_ranks(build, sorted_keys, values, expected):
    assert native.distinct_ranks(np.array(values, dtype=np.float32), sorted_keys) == expected


@pytest.mark.parametrize("sorted_keys", (False, True))
def test_distinct_ranks_of_long_rows(build, sorted_keys):
    values = np.random.default_rng(1).permutation(700).astype(np.float32) * 0.25 - 40
    assert native.distinct_ranks(values, sorted_keys) == list(np.argsort(np.argsort(values)))
    values[3] = values[500]
    assert native.distinct_ranks(values, sorted_keys) is None
