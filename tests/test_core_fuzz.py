"""Hostile arguments for every function of corrshift's native entry (corrshift._core).

Every call either returns arrays of the documented lengths, with counts that
add up (extreme <= valid <= the cycles run), or raises the ValueError,
IndexError or TypeError of a bad argument; it never crashes, and it never
writes the caller's arrays. Run under the sanitizer build too (make
test-asan), where any out-of-bounds access stops the process.
"""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corrshift import _core

INT32_MAX = 2**31 - 1
LABELS = st.sampled_from([0, 1, 2, -1, -2, 3, 7, INT32_MAX, INT32_MAX - 1, -(2**31)])
FUNCTIONS = ["ztest_exhaustive", "ztest_indexed", "score_exhaustive", "score_indexed", "score_units"]


def index_arrays(bound):
    """Mostly valid positions below `bound`, sometimes out of range, repeated or empty."""
    good = st.lists(st.integers(0, max(bound - 1, 0)), max_size=8)
    bad = st.lists(st.sampled_from([-1, bound, INT32_MAX, -(2**31)]), min_size=1, max_size=3)
    return st.one_of(good, good, good, bad).map(lambda v: np.array(v, dtype=np.int32))


@st.composite
def calls(draw, name):
    k = draw(st.integers(0, 6))
    p = draw(st.integers(0, 10))
    values = draw(st.lists(st.sampled_from([0.0, 1.0, -1.0, 2.5, np.nan, 1e30, -0.0]), min_size=k * p,
                           max_size=k * p))
    data = np.array(values, dtype=np.float32).reshape(k, p)
    if draw(st.integers(0, 9)) == 0:
        data = data.ravel()  # a wrong dimension
    order = draw(st.permutations(range(p)))
    n1 = draw(st.integers(0, p))
    n2 = draw(st.integers(0, p - n1))
    group1 = np.array(order[:n1], dtype=np.int32)
    group2 = np.array(order[n1:n1 + n2], dtype=np.int32)
    if draw(st.integers(0, 5)) == 0:
        group1 = draw(index_arrays(p))
    args = {"data": data}
    if name != "ztest_exhaustive" and name != "score_exhaustive":
        args["pair_first"] = draw(index_arrays(k))
        args["pair_second"] = draw(index_arrays(k))
        if len(args["pair_second"]) != len(args["pair_first"]) and draw(st.booleans()):
            args["pair_second"] = args["pair_second"][:0].copy() if not len(args["pair_first"]) else \
                np.resize(args["pair_second"], len(args["pair_first"])).astype(np.int32)
    if name == "score_units":
        starts = draw(st.lists(st.integers(-2, 10), max_size=4))
        args["unit_starts"] = np.array(sorted(starts) if draw(st.booleans()) else starts, dtype=np.int32)
    args.update(group1=group1, group2=group2, method=draw(st.sampled_from(["pearson", "spearman", "kendall"])))
    if name.startswith("score"):
        args["aggregate"] = draw(st.sampled_from(["mean", "median", "mode"]))
    args["alternative"] = draw(st.sampled_from(["two-sided", "greater", "less", "both"]))
    args["permutations"] = draw(st.sampled_from([0, 1, 5, -1]))
    args["threads"] = draw(st.sampled_from([1, 2, 0, -3]))
    if draw(st.booleans()):
        args["strata"] = np.array(draw(st.lists(LABELS, min_size=p, max_size=p + (draw(st.integers(0, 5)) == 0))),
                                  dtype=np.int32)
    if draw(st.booleans()):
        args["seed"] = draw(st.sampled_from([0, 1, 733, 2**32 - 1]))
    if draw(st.integers(0, 3)) == 0:
        args["exact"] = True
        if draw(st.booleans()):
            sizes = (len(group1), len(group2))
            args["permutations"] = math.comb(sum(sizes), sizes[0]) - 1 if min(sizes) >= 0 else 0
    return args


def units(name, args, results):
    k = args["data"].shape[0]
    if name == "ztest_exhaustive":
        return k * (k - 1) // 2
    if name == "ztest_indexed":
        return len(args["pair_first"])
    if name == "score_exhaustive":
        return k
    if name == "score_units":
        return len(args["unit_starts"])
    return len(results[0])  # runs of listed pairs: as many as found


@pytest.mark.parametrize("name", FUNCTIONS)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_hostile_arguments(name, data):
    args = data.draw(calls(name))
    before = {key: v.tobytes() for key, v in args.items() if isinstance(v, np.ndarray)}
    try:
        results = getattr(_core, name)(**args)
    except (ValueError, IndexError, TypeError) as error:
        assert str(error)
        return
    finally:
        assert {key: v.tobytes() for key, v in args.items() if isinstance(v, np.ndarray)} == before
    n = units(name, args, results)
    assert all(r.shape == (n,) for r in results)
    extreme, valid = results[-2], results[-1]
    assert extreme.dtype == valid.dtype == np.uint32
    assert (extreme <= valid).all() and (valid <= max(args["permutations"], 0)).all()
