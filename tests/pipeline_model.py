"""A small, slow, independent model of the four pipelines, for tests.

It follows the documented arithmetic step by step with numpy float32
values: every sum is a sequential float32 sum in sample order (``accumulate``
never reorders), every product is rounded before it is added, the Fisher
transform is atanh in double precision rounded to float32, and erfc is the C
library's, through ``math.erfc``. Permutations come from a pure-Python
MT19937 with the published integer seeding and tempering.

Ranks: tied values are ordered as the index sort leaves them
(reference_index_sort.py); only ties in a range that the sort hands to its
heap-sort fallback are not modelled (``rank_within`` refuses them).
"""

import math

import numpy as np

import score_reference
from reference_index_sort import reference_ranks

F32 = np.float32
SEED = 733
UNDEFINED = F32(-2.0)
CLAMP = F32(0.99)
INT32_MAX = 2**31 - 1


# --- permutations ---------------------------------------------------------------------------


class MT19937:
    """32-bit Mersenne Twister, published parameters, seeded from one integer."""

    def __init__(self, seed):
        mt = [seed & 0xFFFFFFFF]
        for i in range(1, 624):
            prev = mt[-1]
            mt.append((1812433253 * (prev ^ (prev >> 30)) + i) & 0xFFFFFFFF)
        self.mt = mt
        self.index = 624

    def _twist(self):
        mt = self.mt
        for i in range(624):
            y = (mt[i] & 0x80000000) | (mt[(i + 1) % 624] & 0x7FFFFFFF)
            v = mt[(i + 397) % 624] ^ (y >> 1)
            if y & 1:
                v ^= 0x9908B0DF
            mt[i] = v
        self.index = 0

    def next(self):
        if self.index >= 624:
            self._twist()
        y = self.mt[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y & 0xFFFFFFFF


def draw_index(engine, n):
    """Uniform index below n: rejects the top (2^32 mod n) outputs."""
    m = 0xFFFFFFFF
    while True:
        r = engine.next()
        if r // n < m // n or m % n == n - 1:
            return r % n


def shuffle(engine, order):
    for i in range(1, len(order)):
        j = draw_index(engine, i + 1)
        if j != i:
            order[i], order[j] = order[j], order[i]


def dealt_groups(samples, n1, n2, permutations):
    """The groups of cycles 1 .. permutations: cumulative shuffles of 0 .. P-1."""
    engine = MT19937(SEED)
    order = list(range(samples))
    for _ in range(permutations):
        shuffle(engine, order)
        yield order[:n1], order[n1 : n1 + n2]


# --- kernels --------------------------------------------------------------------------------


def sequential_sum(values):
    """Float32 sums along the last axis, one term after another."""
    values = np.asarray(values, dtype=F32)
    if values.shape[-1] == 0:
        return np.zeros(values.shape[:-1], dtype=F32)
    return np.add.accumulate(values, axis=-1, dtype=F32)[..., -1]


def correlations(matrix, rows_x, rows_y, columns):
    """Pearson correlation of rows_x[k] with rows_y[k] over the listed columns."""
    cols = np.asarray(columns, dtype=np.intp)
    x = matrix[np.asarray(rows_x, dtype=np.intp)][:, cols].astype(F32)
    y = matrix[np.asarray(rows_y, dtype=np.intp)][:, cols].astype(F32)
    with np.errstate(all="ignore"):
        sx, sy = sequential_sum(x), sequential_sum(y)
        sxx, syy, sxy = sequential_sum(x * x), sequential_sum(y * y), sequential_sum(x * y)
        c = F32(len(cols))
        mx, my = sx / c, sy / c
        vx = sxx / c - mx * mx
        vy = syy / c - my * my
        cov = sxy / c - my * mx
        q = vy * vx
        r = cov / np.sqrt(q.astype(np.float64)).astype(F32)
    return np.where((vx == 0) | (vy == 0), UNDEFINED, r).astype(F32)


def rank_within(matrix, ranks, columns):
    """Writes each row's 0-based ranks over the listed columns into ranks."""
    columns = list(columns)
    for r in range(matrix.shape[0]):
        values = [matrix[r, c] for c in columns]
        row_ranks, heap_sorted = reference_ranks(values)
        if heap_sorted and len(set(map(float, values))) < len(values):
            raise NotImplementedError("ties in a range sorted by the heap-sort fallback")
        # In rank order: a column listed twice keeps its higher rank.
        for rank, pos in sorted((rank, pos) for pos, rank in enumerate(row_ranks)):
            ranks[r, columns[pos]] = F32(rank)


def standard_error(n, spearman):
    with np.errstate(all="ignore"):
        se = F32(1.0 / np.sqrt(np.float64(n - 3)))
    if spearman:
        se = F32(np.float64(se) * math.sqrt(1.5))
    return se


def clamp(r):
    r = np.asarray(r, dtype=F32)
    return np.where(r < -CLAMP, -CLAMP, np.where(r > CLAMP, CLAMP, r)).astype(F32)


def fisher(r):
    return np.array([F32(math.atanh(float(v))) for v in clamp(r)], dtype=F32)


def upper_tail(x):
    return F32(0.5 * math.erfc(float(x) / math.sqrt(2.0)))


def fisher_test(corr1, n1, corr2, n2, spearman, alternative):
    """Fisher differences and their normal p-values."""
    d = (fisher(corr1) - fisher(corr2)).astype(F32)
    se1, se2 = standard_error(n1, spearman), standard_error(n2, spearman)
    with np.errstate(all="ignore"):
        se = F32(math.sqrt(float(se2 * se2 + se1 * se1)))
        p = []
        for dk in d:
            z = dk / se
            if alternative == "less":
                p.append(upper_tail(-z))
            elif alternative == "greater":
                p.append(F32(1.0) - upper_tail(-z))
            elif alternative == "two-sided":
                h = upper_tail(abs(dk) / se)
                p.append(h + h)
            else:
                p.append(F32(-2.0))
    return d, np.array(p, dtype=F32)


def aggregate(values, how, alternative):
    """Score of one unit from its Fisher differences, in member order."""
    values = np.asarray(values, dtype=F32)
    if how == "median" and np.isnan(values).any():
        # The module sorts NaN after every number; sorted() has no order for it.
        gathered = np.abs(values) if alternative == "two-sided" else values
        return np.sort(gathered)[int(F32(len(values)) * F32(0.5))]
    return score_reference.score(values, how, alternative)


def extreme_counts(alternative, observed, permuted):
    with np.errstate(invalid="ignore"):
        if alternative == "two-sided":
            return np.abs(permuted) >= np.abs(observed)
        if alternative == "greater":
            return permuted >= observed
        if alternative == "less":
            return permuted <= observed
    return np.zeros(len(observed), dtype=bool)


def fractions(counts, permutations):
    if permutations < 1:
        return np.zeros(len(counts), dtype=F32)
    return (counts.astype(F32) / F32(permutations)).astype(F32)


# --- pipelines ------------------------------------------------------------------------------


def all_pairs(features):
    pairs = [(i, j) for i in range(features) for j in range(i + 1, features)]
    return [p[0] for p in pairs], [p[1] for p in pairs]


def cycles(data, group1, group2, method, permutations):
    """(matrix, group1, group2) of cycle 0, 1, ..., permutations."""
    data = np.asarray(data, dtype=F32)
    spearman = method == "spearman"
    ranks = np.zeros_like(data)
    groups = [(list(group1), list(group2))]
    groups += list(dealt_groups(data.shape[1], len(group1), len(group2), permutations))
    for g1, g2 in groups:
        if spearman:
            rank_within(data, ranks, g1)
            rank_within(data, ranks, g2)
            yield ranks, g1, g2
        else:
            yield data, g1, g2


def pair_differences(matrix, first, second, g1, g2, spearman, alternative):
    r1 = correlations(matrix, first, second, g1)
    r2 = correlations(matrix, first, second, g2)
    d, p = fisher_test(r1, len(g1), r2, len(g2), spearman, alternative)
    return r1, r2, d, p


def ztest(data, first, second, group1, group2, method, alternative, permutations):
    """The five arrays of the z-test over the pairs (first[k], second[k])."""
    spearman = method == "spearman"
    first, second = list(first), list(second)[: len(first)]
    observed = None
    counts = np.zeros(len(first), dtype=np.int64)
    for c, (matrix, g1, g2) in enumerate(cycles(data, group1, group2, method, permutations)):
        r1, r2, d, p = pair_differences(matrix, first, second, g1, g2, spearman, alternative)
        if c == 0:
            observed = (r1, r2, d, p)
        else:
            counts += extreme_counts(alternative, observed[2], d)
    return (*observed, fractions(counts, permutations))


def ztest_exhaustive(data, group1, group2, method, alternative, permutations):
    first, second = all_pairs(np.shape(data)[0])
    return ztest(data, first, second, group1, group2, method, alternative, permutations)


def runs(pair_first):
    """(value, start, end) of each run of equal first features; later smaller values are skipped."""
    table, i, n = [], 0, len(pair_first)
    while i < n:
        if table and pair_first[i] <= table[-1][0]:
            i += 1
            continue
        j = i
        while j < n and pair_first[j] == pair_first[i]:
            j += 1
        table.append((int(pair_first[i]), i, j))
        i = j
    return table


def scores_over(units, data, first, second, group1, group2, method, how, alternative, permutations):
    """Observed scores and p-values; units(d) lists each unit's differences."""
    spearman = method == "spearman"
    observed = None
    counts = None
    for c, (matrix, g1, g2) in enumerate(cycles(data, group1, group2, method, permutations)):
        d = pair_differences(matrix, first, second, g1, g2, spearman, "two-sided")[2]
        s = np.array([aggregate(v, how, alternative) for v in units(d)], dtype=F32)
        if c == 0:
            observed, counts = s, np.zeros(len(s), dtype=np.int64)
        else:
            counts += extreme_counts(alternative, observed, s)
    return observed, fractions(counts, permutations)


def score_exhaustive(data, group1, group2, method, how, alternative, permutations):
    k = np.shape(data)[0]
    first, second = all_pairs(k)

    def units(d):
        return [score_reference.feature_members(d, i, k) for i in range(k)]

    return scores_over(units, data, first, second, group1, group2, method, how, alternative, permutations)


def score_indexed(data, first, second, group1, group2, method, how, alternative, permutations):
    table = runs(list(first))
    n = len(first)
    second = list(second)[:n]

    def units(d):
        return [d[start:end] for _, start, end in table]

    scores, pvalues = scores_over(units, data, list(first), second, group1, group2, method, how, alternative,
                                  permutations)
    return np.array([v for v, _, _ in table], dtype=np.int32), scores, pvalues


def results(name, a):
    """The model's results for module function `name` with arguments by name."""
    common = (a["group1"], a["group2"], a["method"])
    if name == "_ztest_pipeline_exhaustive":
        return ztest_exhaustive(a["data"], *common, a["alternative"], a["permutations"])
    if name == "_ztest_pipeline_indexed":
        return ztest(a["data"], a["pair_first"], a["pair_second"], *common, a["alternative"], a["permutations"])
    if name == "_score_pipeline_exhaustive":
        return score_exhaustive(a["data"], *common, a["aggregate"], a["alternative"], a["permutations"])
    return score_indexed(a["data"], a["pair_first"], a["pair_second"], *common, a["aggregate"], a["alternative"],
                         a["permutations"])
