"""Scores of Fisher differences written out from their definition: "mean"
averages magnitudes in one float32 accumulator in member order; "median"
takes element trunc(c * 0.5) (float32 product) of the ascending values,
magnitudes only under "two-sided"."""

import numpy as np

f32 = np.float32


def mean_score(values):
    total = count = f32(0)
    for v in values:
        total = f32(total + f32(abs(v)))
        count = f32(count + f32(1))
    return f32(total / count) if count > 0 else f32(0)


def median_score(values, alternative):
    values = [f32(abs(v)) if alternative == "two-sided" else f32(v) for v in values]
    if not values:
        return f32(0)
    return sorted(values)[int(f32(len(values)) * f32(0.5))]


def score(values, aggregate, alternative):
    return mean_score(values) if aggregate == "mean" else median_score(values, alternative)


def feature_members(z_diff, i, k):
    """Fisher differences of feature i's pairs with j = 0 .. k-1 (j != i), condensed order."""
    out = []
    for j in range(k):
        if j != i:
            a, b = min(i, j), max(i, j)
            out.append(z_diff[a * (2 * k - a - 1) // 2 + b - a - 1])
    return out
