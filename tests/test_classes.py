"""corrshift.classes: each group's letter from its own test of r = 0."""

import numpy as np
import pytest
from scipy import stats

from corrshift.classes import CLASSES, change_classes, correlation_pvalues


@pytest.fixture(scope="module")
def pairs():
    """Per pair: its samples in group 1 (n = 12) and group 2 (n = 30), a spread of correlations."""
    rng = np.random.default_rng(7)
    strengths = np.linspace(-2, 2, 41)
    groups = []
    for n in (12, 30):
        x = rng.normal(size=(len(strengths), n))
        groups.append((x, strengths[:, None] * x + rng.normal(size=x.shape)))
        strengths = rng.permutation(strengths)
    return groups


def test_pvalues_and_letters_follow_scipys_test_per_group(pairs):
    r, p = [], []
    for x, y in pairs:
        tests = [stats.pearsonr(a, b) for a, b in zip(x, y)]
        r.append(np.array([t.statistic for t in tests]))
        p.append(np.array([t.pvalue for t in tests]))
    for (x, _), r_g, p_g in zip(pairs, r, p):
        np.testing.assert_allclose(correlation_pvalues(r_g, x.shape[1]), p_g, rtol=1e-9, atol=1e-300)
    alpha = 0.05
    classes = change_classes(r[0], r[1], 12, 30, alpha=alpha)
    for side, r_g, p_g in zip((0, 1), r, p):
        letters = np.array([c.split("/")[side] for c in classes])
        expected = np.where(p_g < alpha, np.where(r_g > 0, "+", "-"), "0")
        np.testing.assert_array_equal(letters, expected)
    # The generated spread reaches every class but few.
    assert len(set(classes)) >= 6 and set(classes) <= set(CLASSES)


@pytest.mark.parametrize("r1, r2, n, alpha, expected", [
    (1.0, -1.0, 3, 0.05, "+/-"),  # |r| = 1 has p = 0 even with one degree of freedom
    (np.nan, 0.9, 20, 0.05, "NA/+"),  # an undefined side is NA, the other still classed
    (-0.9, np.nan, 20, 0.05, "-/NA"),
    (np.nan, np.nan, 20, 0.05, "NA/NA"),
    (0.3, 0.3, 20, 0.5, "+/+"),  # a looser alpha admits weak correlations
    (1.0 + 1e-7, 0.0, 10, 0.05, "+/0"),  # a rounding step past 1 counts as 1
])
def test_edge_cases(r1, r2, n, alpha, expected):
    assert change_classes([r1], [r2], n, n, alpha=alpha)[0] == expected


def test_threshold_is_strict_and_sizes_broadcast():
    n = np.array([10, 40])
    r = np.array([0.5, 0.5])
    p = correlation_pvalues(r, n)
    # The same r is significant in the larger group only at alpha between the two p-values.
    classes = change_classes(r, r[::-1], n, n[::-1], alpha=float(np.mean(p)))
    np.testing.assert_array_equal(classes, ["0/+", "+/0"])
    assert change_classes([0.5], [0.5], 10, 10, alpha=float(correlation_pvalues(0.5, 10)))[0] == "0/0"


@pytest.mark.parametrize("kwargs, message", [
    (dict(n1=2), "at least 3 samples"),
    (dict(n1=10.5), "whole sample counts"),
    (dict(alpha=0.0), "alpha must be between 0 and 1"),
])
def test_refused(kwargs, message):
    args = dict(r1=[0.1], r2=[0.2], n1=10, n2=10) | kwargs
    with pytest.raises(ValueError, match=message):
        change_classes(**args)


@pytest.mark.parametrize("n, alpha, dtype", [
    (4, 0.05, np.float64), (12, 0.01, np.float32), (250, 0.05, np.float32), (5000, 1e-6, np.float64),
])
def test_one_sample_count_classes_as_its_pvalues_do(n, alpha, dtype):
    # One sample count is classed by the bound on |r| where p = alpha, with
    # p-values only near it; it must agree with the p-value of every r,
    # also for correlations a rounding step from the bound (float32 arrays
    # are classed by the engine, float64 ones in numpy).
    t = stats.t.isf(alpha / 2, n - 2)
    bound = t / np.sqrt(n - 2 + t * t)
    rng = np.random.default_rng(n)
    r = np.concatenate([rng.uniform(-1, 1, 3000), bound * (1 + rng.uniform(-3e-7, 3e-7, 300)),
                        -bound * (1 + rng.uniform(-3e-7, 3e-7, 300)), [bound, -bound, 1.0, -1.0, 0.0, np.nan]]).astype(dtype)
    by_pvalues = change_classes(r, r[::-1], np.full(len(r), n), np.full(len(r), n), alpha=alpha)
    np.testing.assert_array_equal(np.asarray(change_classes(r, r[::-1], n, n, alpha=alpha)), np.asarray(by_pvalues))
