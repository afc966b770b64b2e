"""The pipelines as a user would write them in numpy, timed per cycle.

Reads a JSON list of [K, n, method, kind] on standard input and writes a
JSON list of seconds per permutation cycle (best of two): per cycle the
samples are dealt anew, each group's correlation matrix is np.corrcoef in
float64 (of the ranks under "spearman"), the Fisher differences of the upper
triangle are compared with the observed ones ("ztest"), or each feature's
median absolute difference with its observed score ("score").
"""

import json
import sys
import time

import numpy as np


def ranks(x):
    return np.argsort(np.argsort(x, axis=1, kind="stable"), axis=1).astype(np.float64)


def fisher_differences(x, g1, g2, method, upper):
    a, b = x[:, g1], x[:, g2]
    if method == "spearman":
        a, b = ranks(a), ranks(b)
    c1 = np.clip(np.corrcoef(a)[upper], -0.99, 0.99)
    c2 = np.clip(np.corrcoef(b)[upper], -0.99, 0.99)
    return np.arctanh(c1) - np.arctanh(c2)


def feature_medians(z, k, upper):
    square = np.zeros((k, k))
    square[upper] = z
    square += square.T
    off_diagonal = np.abs(square[~np.eye(k, dtype=bool)].reshape(k, k - 1))
    return np.median(off_diagonal, axis=1)


def cycle_time(k, n, method, kind):
    rng = np.random.default_rng(k * 1000 + n)
    x = rng.normal(size=(k, 2 * n)).astype(np.float32).astype(np.float64)
    upper = np.triu_indices(k, 1)
    observed = fisher_differences(x, np.arange(n), np.arange(n, 2 * n), method, upper)
    if kind == "score":
        observed = feature_medians(observed, k, upper)
    counts = np.zeros(observed.shape)
    best = float("inf")
    for _ in range(2):
        start = time.perf_counter()
        order = rng.permutation(2 * n)
        z = fisher_differences(x, order[:n], order[n:], method, upper)
        if kind == "score":
            z = feature_medians(z, k, upper)
        counts += np.abs(z) >= np.abs(observed)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    jobs = json.load(sys.stdin)
    json.dump([cycle_time(*job) for job in jobs], sys.stdout)


if __name__ == "__main__":
    main()
