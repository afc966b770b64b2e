"""The warning when the permutation count leaves no room for a significant q-value."""

import re
import warnings

import numpy as np
import pytest
from scipy import stats

import corrshift
from corrshift.messages import CorrshiftWarning
from corrshift.significance import needed_permutations, warn_if_unreachable

X = np.random.default_rng(8).normal(size=(6, 30))  # 6 features: 15 pairs
G1, G2 = np.arange(15), np.arange(15, 30)


@pytest.mark.parametrize("rows", [1, 15, 435, 499_500])
def test_needed_count_is_the_fewest_that_let_a_lone_row_reach_005(rows):
    def best_q(m):
        # One row with the smallest permutation p-value, every other row with p = 1.
        p = np.ones(rows)
        p[0] = 1 / (m + 1)
        return stats.false_discovery_control(p, method="bh").min()

    m = needed_permutations(rows)
    assert best_q(m) <= 0.05 < best_q(m - 1)
    if rows == 499_500:
        assert m == 9_989_999


CONSTANT = X.copy()
CONSTANT[5, G1] = 1.0  # constant in group 1: its 5 pairs are not tested


@pytest.mark.parametrize("test, data, permutations, message", [
    (corrshift.ztest, X, 49, r"^49 permutations are too few for 15 tested pairs: the smallest p_permutation is "
                             r"1/50, and Benjamini-Hochberg brings it to q_permutation <= 0.05 only when at least "
                             r"6 of the 15 pairs reach it together; a single pair can reach it with 299 "
                             r"permutations or more \(15 / 0.05 - 1\), or with permutations=\"auto\", which runs "
                             r"each pair as long as its decision needs$"),
    (corrshift.ztest, X, 9, r"^9 permutations are too few for 15 tested pairs: the smallest p_permutation is "
                            r"1/10, above 0.05, so no q_permutation can reach 0.05; .* with 299 permutations"),
    (corrshift.ztest, CONSTANT, 49, r"too few for 10 tested pairs: .* with 199 permutations or more"),
    (corrshift.score, X, 49, r"^49 permutations are too few for 6 tested features: .* at least 3 of the 6 "
                             r"features .* a single feature can reach it with 119 permutations or more"),
])
def test_too_few_permutations_warn_with_the_count_needed(test, data, permutations, message):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        test(data, G1, G2, permutations=permutations, progress=False)
    counts = [str(w.message) for w in seen if "permutations are too few" in str(w.message)]
    assert len(counts) == 1
    assert all(issubclass(w.category, CorrshiftWarning) for w in seen)
    assert re.search(message, counts[0]), counts[0]


@pytest.mark.parametrize("test, permutations", [(corrshift.ztest, 299), (corrshift.ztest, 0),
                                                (corrshift.score, 119)])
def test_enough_permutations_or_none_say_nothing(test, permutations):
    with warnings.catch_warnings():
        warnings.simplefilter("error", CorrshiftWarning)
        test(X, G1, G2, permutations=permutations, progress=False)


def test_more_than_the_possible_count_says_to_test_fewer_rows():
    with pytest.warns(CorrshiftWarning, match=r"a single pair would need 19999999 permutations \(1000000 / 0.05 "
                                              r"- 1\), more than the 16777216 possible: test fewer pairs, or let "
                                              r"permutations=\"auto\" run each pair"):
        warn_if_unreachable(1_000_000, 1000, "pairs")
