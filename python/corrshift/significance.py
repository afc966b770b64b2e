"""Whether a permutation count leaves room for significant q-values.

With m permutations the smallest permutation p-value is 1/(m + 1). Over N
tested rows, the Benjamini-Hochberg q-value of a row with that p-value is at
least N / (k (m + 1)), k being the number of rows that share it: a lone
strong row reaches q <= alpha only when m + 1 >= N / alpha, and with fewer
permutations at least N / (alpha (m + 1)) rows must reach the floor together.
When even a lone row cannot, the analysis is warned about before it runs,
with the permutation count that would let it.
"""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np

from .analyses import Analysis
from .messages import warn
from .options import MAX_PERMUTATIONS

#: The q-value level that the warning speaks of.
ALPHA = Fraction(1, 20)


def testable_rows(analysis: Analysis, untestable: np.ndarray, first=None, second=None) -> int:
    """The number of rows of an analysis that get p-values.

    Parameters
    ----------
    analysis : Analysis
        :data:`corrshift.analyses.ZTEST` or :data:`corrshift.analyses.SCORE`.
    untestable : ndarray of bool
        Features whose correlations are undefined (constant within a
        group); their pairs and scores get no p-value.
    first, second : ndarray of int, optional
        Positions of the given pairs; all pairs when omitted.
    """
    ok = ~np.asarray(untestable, dtype=bool)
    if not analysis.per_feature:
        if first is None:
            k = int(ok.sum())
            return k * (k - 1) // 2
        return int((ok[first] & ok[second]).sum())
    if first is None:
        return int(ok.sum())
    return int(ok[np.unique(first)].sum())


def needed_permutations(rows: int, alpha: Fraction = ALPHA) -> int:
    """The fewest permutations m with which a lone row among ``rows`` can reach q <= ``alpha``:
    the smallest m with rows / (m + 1) <= alpha."""
    return max(math.ceil(Fraction(rows) / alpha) - 1, 0)


def warn_if_unreachable(rows: int, permutations: int, noun: str) -> None:
    """Warn when ``permutations`` cannot bring a lone row among ``rows`` to q_permutation <= 0.05.

    ``noun`` names the rows in the plural ("pairs", "features"). Nothing is
    said without permutations (no permutation test was asked for) or
    without rows.
    """
    needed = needed_permutations(rows)
    if permutations == 0 or rows == 0 or permutations >= needed:
        return
    one = noun[:-1]
    level = f"{float(ALPHA):g}"
    floor = f"the smallest p_permutation is 1/{permutations + 1}"
    if permutations + 1 < 1 / ALPHA:
        why = f"{floor}, above {level}, so no q_permutation can reach {level}"
    else:
        together = math.ceil(Fraction(rows) / (ALPHA * (permutations + 1)))
        why = (f"{floor}, and Benjamini-Hochberg brings it to q_permutation <= {level} only when at least "
               f"{together} of the {rows} {noun} reach it together")
    if needed > MAX_PERMUTATIONS:
        advice = (f"a single {one} would need {needed} permutations ({rows} / {level} - 1), more than the "
                  f"{MAX_PERMUTATIONS} possible: test fewer {noun}, or let permutations=\"auto\" run each "
                  f"{one} as long as its decision needs")
    else:
        advice = (f"a single {one} can reach it with {needed} permutations or more ({rows} / {level} - 1), or "
                  f"with permutations=\"auto\", which runs each {one} as long as its decision needs")
    warn(f"{permutations} permutations are too few for {rows} tested {noun}: {why}; {advice}")
