"""Pair decode, correlation kernel, Fisher transform and z-test."""

import math

import numpy as np
import pytest

import corrshift._native_tests as nt

f32 = np.float32


# ---- pair decode --------------------------------------------------------


def condensed(i, j, k):
    """Position of pair (i, j), i < j, among k features."""
    return i * (2 * k - i - 1) // 2 + (j - i - 1)


def test_decode_small():
    assert [nt.decode_pair(p, 4) for p in range(6)] == [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
    assert nt.decode_pair(0, 2) == (0, 1)


@pytest.mark.parametrize("k", [3, 7, 31, 60])
def test_decode_every_position(k):
    pairs = [(i, j) for i in range(k) for j in range(i + 1, k)]
    assert [nt.decode_pair(p, k) for p in range(len(pairs))] == pairs


@pytest.mark.parametrize("k", [2, 1000, 23170, 23171, 46341, 65535, 65536])
def test_decode_large_k_near_row_starts_and_end(k):
    last = k * (k - 1) // 2 - 1
    assert nt.decode_pair(last, k) == (k - 2, k - 1)
    for i in sorted({0, 1, k // 2, k - 5, k - 3, k - 2} & set(range(k - 1))):
        start = condensed(i, i + 1, k)
        assert nt.decode_pair(start, k) == (i, i + 1)
        assert nt.decode_pair(condensed(i, k - 1, k), k) == (i, k - 1)
        if i > 0:
            assert nt.decode_pair(start - 1, k) == (i - 1, k - 1)


# ---- correlation kernel -------------------------------------------------


def correlate(matrix, pairs=None, columns=None, begin=0, end=None, size=None, fill=99.0):
    """Correlations of `pairs` (None: all condensed pairs) over `columns`."""
    matrix = np.asarray(matrix, dtype=np.float32)
    k = matrix.shape[0]
    if pairs is None:
        first = second = None
        count = k * (k - 1) // 2
    else:
        first = np.array([p[0] for p in pairs], dtype=np.int32)
        second = np.array([p[1] for p in pairs], dtype=np.int32)
        count = len(pairs)
    cols = None if columns is None else np.asarray(columns, dtype=np.int32)
    end = count if end is None else end
    size = count if size is None else size
    return np.array(nt.pairwise_correlation(matrix, first, second, begin, end, size, k, cols, fill), dtype=np.float32)


def test_perfect_correlations():
    m = [[1, 2, 3, 4], [2, 4, 6, 8], [8, 6, 4, 2]]
    np.testing.assert_array_equal(correlate(m), [1.0, -1.0, -1.0])


@pytest.mark.parametrize("constant", [0.0, 1.0])
def test_zero_variance_marker_on_either_side(constant):
    m = [[constant] * 5, [1, 3, 2, 5, 4], [2, 2, 1, 2, 2]]
    got = correlate(m, pairs=[(0, 1), (1, 0), (0, 2), (2, 0), (0, 0)])
    np.testing.assert_array_equal(got, [-2.0] * 5)


def test_nan_makes_nan_unless_the_other_row_is_constant():
    m = [[1, np.nan, 3, 4], [4, 1, 3, 2], [7, 7, 7, 7]]
    got = correlate(m, pairs=[(0, 1), (1, 0), (0, 2), (2, 0)])
    assert np.isnan(got[0]) and np.isnan(got[1])
    np.testing.assert_array_equal(got[2:], [-2.0, -2.0])


def test_empty_column_subset_gives_nan():
    got = correlate([[1, 2, 3], [3, 1, 2]], columns=[])
    assert np.isnan(got).all()


def test_column_listed_twice_counts_twice():
    rng = np.random.default_rng(1)
    m = rng.normal(size=(4, 6)).astype(np.float32)
    columns = [5, 0, 2, 2, 3]
    np.testing.assert_array_equal(correlate(m, columns=columns), correlate(m[:, columns]))


def test_range_and_orientation():
    rng = np.random.default_rng(2)
    m = rng.normal(size=(5, 9)).astype(np.float32)
    full = correlate(m)
    part = correlate(m, begin=3, end=7, fill=99.0)
    np.testing.assert_array_equal(part[3:7], full[3:7])
    assert (part[:3] == 99.0).all() and (part[7:] == 99.0).all()
    assert (correlate(m, begin=5, end=5) == 99.0).all()
    pairs = [(i, j) for i in range(5) for j in range(i + 1, 5)]
    np.testing.assert_array_equal(correlate(m, pairs=pairs), full)
    np.testing.assert_array_equal(correlate(m, pairs=[(j, i) for i, j in pairs]), full)


def float32_correlation(x, y):
    """Population correlation with float32 sums in sample order, every product
    rounded before it is added, the square root in double precision."""
    sx = sy = sxx = syy = sxy = f32(0)
    for a, b in zip(x, y):
        sx, sy = f32(sx + a), f32(sy + b)
        sxx, syy, sxy = f32(sxx + f32(a * a)), f32(syy + f32(b * b)), f32(sxy + f32(a * b))
    c = f32(len(x))
    mx = f32(sx / c)
    vx = f32(f32(sxx / c) - f32(mx * mx))
    if vx == 0:
        return f32(-2.0)
    my = f32(sy / c)
    vy = f32(f32(syy / c) - f32(my * my))
    if vy == 0:
        return f32(-2.0)
    cov = f32(f32(sxy / c) - f32(my * mx))
    return f32(cov / f32(math.sqrt(float(f32(vy * vx)))))


def test_arithmetic_is_sequential_float32():
    rng = np.random.default_rng(4)
    m = (rng.normal(size=(6, 50)) * rng.uniform(0.01, 1000, size=(6, 1))).astype(np.float32)
    m[2] = np.round(m[2])
    columns = rng.permutation(50)[:37].astype(np.int32)
    got = correlate(m, columns=columns)
    pairs = [(i, j) for i in range(6) for j in range(i + 1, 6)]
    with np.errstate(all="ignore"):
        expected = [float32_correlation(m[i, columns], m[j, columns]) for i, j in pairs]
    np.testing.assert_array_equal(got, np.array(expected, dtype=np.float32))


# ---- Fisher transform and z-test ----------------------------------------


def test_fisher_transform_is_correctly_rounded_atanh():
    rng = np.random.default_rng(6)
    c = np.concatenate([
        rng.uniform(-0.99, 0.99, size=20000).astype(np.float32),
        np.array([0.0, -0.0, 0.99, -0.99, 0.5, 1e-30, -1e-8], dtype=np.float32),
    ])
    expected = np.array([f32(math.atanh(float(v))) for v in c], dtype=np.float32)
    got = np.array(nt.fisher_transform(c), dtype=np.float32)
    np.testing.assert_array_equal(got.view(np.uint32), expected.view(np.uint32))


def ztest(r1, n1, r2, n2, method="pearson", alternative="two-sided", with_p=True):
    z, p = nt.fisher_ztest(
        np.array(r1, dtype=np.float32), n1, np.array(r2, dtype=np.float32), n2, method, alternative, with_p
    )
    return np.array(z, dtype=np.float32), np.array(p, dtype=np.float32)


def assert_f32(got, expected):
    """Exactly the float32 nearest to each 8-digit decimal."""
    np.testing.assert_array_equal(got, np.array(expected, dtype=np.float32))


@pytest.mark.parametrize(
    ("method", "alternative", "p"),
    [
        ("pearson", "two-sided", 0.052126158),
        ("pearson", "less", 0.97393692),
        ("pearson", "greater", 0.026063085),
        ("spearman", "two-sided", 0.11280507),
    ],
)
def test_normal_p_values(method, alternative, p):
    z, got = ztest([0.5], 28, [0.0], 28, method, alternative)
    assert_f32(z, [0.54930615])
    assert_f32(got, [p])


@pytest.mark.parametrize(("method", "se"), [("pearson", 0.28284273), ("spearman", 0.34641019)])
def test_standard_errors_behind_the_p_values(method, se):
    # With z = d / SE, the lower tail 0.5 erfc(-z / sqrt 2) pins SE.
    z, p = ztest([0.5], 28, [0.0], 28, method, "less")
    expected = 0.5 * math.erfc(-float(f32(z[0] / f32(se))) / math.sqrt(2.0))
    assert p[0] == f32(expected)


@pytest.mark.parametrize(("alternative", "p"), [("two-sided", 1.0), ("less", 0.5), ("greater", 0.5)])
def test_equal_correlations(alternative, p):
    z, got = ztest([0.3, -0.7], 20, [0.3, -0.7], 11, "pearson", alternative)
    np.testing.assert_array_equal(z, [0.0, 0.0])
    np.testing.assert_array_equal(got, [p, p])


def test_clamp_and_marker():
    z, p = ztest([1.0], 13, [-1.0], 13)
    assert_f32(z, [5.2933059])
    assert 2.53e-32 < p[0] < 2.55e-32
    z, _ = ztest([-2.0], 28, [0.5], 28)
    assert_f32(z, [-3.1959591])
    z, _ = ztest([5.0, -0.995], 28, [0.99, -0.99], 28)
    np.testing.assert_array_equal(z, [0.0, 0.0])


def test_nan_correlation_passes_the_clamp():
    z, p = ztest([np.nan, 0.2], 28, [0.1, np.nan], 28)
    assert np.isnan(z).all() and np.isnan(p).all()


@pytest.mark.parametrize(("n1", "two_sided", "one_sided"), [(3, 1.0, 0.5), (2, None, None)])
@pytest.mark.parametrize("alternative", ["two-sided", "less", "greater"])
def test_tiny_groups(n1, two_sided, one_sided, alternative):
    expected = two_sided if alternative == "two-sided" else one_sided
    z, p = ztest([0.4, -0.9], n1, [0.1, 0.8], 30, "pearson", alternative)
    assert np.isfinite(z).all()
    if expected is None:
        assert np.isnan(p).all()
    else:
        np.testing.assert_array_equal(p, [expected, expected])


@pytest.mark.parametrize("alternative", ["Two-sided", "two-sided ", "LESS", "", "greater\0"])
def test_unknown_alternative_gives_marker(alternative):
    z, p = ztest([0.5, 0.1], 28, [0.0, 0.3], 28, "pearson", alternative)
    assert_f32(z[:1], [0.54930615])
    np.testing.assert_array_equal(p, [-2.0, -2.0])


def test_without_p_array_only_differences_are_written():
    z, p = ztest([0.5], 28, [0.0], 28, with_p=False)
    assert_f32(z, [0.54930615])
    np.testing.assert_array_equal(p, [12345.0])
