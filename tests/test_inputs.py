"""Arguments the pipelines refuse: checked before any output, in all four functions."""

import numpy as np
import pytest

from pipeline_calls import FUNCTIONS, INDEXED, SCORES, call

i32 = np.int32
EXHAUSTIVE = tuple(n for n in FUNCTIONS if n not in INDEXED)

# (functions, overrides, exception, message pattern)
NO_GROUPS = {"group1": np.array([], i32), "group2": np.array([], i32)}
REFUSALS = [
    pytest.param(FUNCTIONS, {"data": np.ones(10, np.float32)}, ValueError,
                 r"^data must be a 2-D .* 1 dimension", id="data-1d"),
    pytest.param(FUNCTIONS, {"data": np.ones((3, 10, 1), np.float32)}, ValueError,
                 r"^data must be a 2-D .* 3 dimensions", id="data-3d"),
    pytest.param(FUNCTIONS, {"data": None}, ValueError,
                 r"^data must be a 2-D .* 0 dimensions", id="data-none"),
    pytest.param(FUNCTIONS, {"group1": np.zeros((1, 5), i32)}, ValueError,
                 r"^group1 must be a 1-D .* 2 dimensions", id="group1-2d"),
    pytest.param(FUNCTIONS, {"group2": np.array(3, i32)}, ValueError,
                 r"^group2 must be a 1-D .* 0 dimensions", id="group2-0d"),
    pytest.param(INDEXED, {"pair_first": np.zeros((3, 1), i32)}, ValueError,
                 r"^pair_first must be a 1-D", id="pair_first-2d"),
    pytest.param(INDEXED, {"pair_second": np.zeros((1, 3), i32)}, ValueError,
                 r"^pair_second must be a 1-D", id="pair_second-2d"),
    pytest.param(FUNCTIONS, {"group1": np.array([0, 1, 10], i32)}, IndexError,
                 r"^group1\[2\] = 10 is out of range: data has 10 samples \(columns\), "
                 r"so sample indices must lie in 0 \.\. 9$", id="group1-high"),
    pytest.param(FUNCTIONS, {"group2": np.array([-1, 6], i32)}, IndexError,
                 r"^group2\[0\] = -1 is out of range", id="group2-negative"),
    pytest.param(FUNCTIONS, {**NO_GROUPS, "data": np.ones((3, 0), np.float32), "group1": np.array([0], i32)},
                 IndexError, r"^group1\[0\] = 0 is out of range: data has 0 samples \(columns\), "
                 r"so no sample index is valid$", id="no-samples"),
    pytest.param(INDEXED, {"pair_first": np.array([0, 3, 1], i32)}, IndexError,
                 r"^pair_first\[1\] = 3 is out of range: data has 3 features \(rows\), "
                 r"so feature indices must lie in 0 \.\. 2$", id="pair_first-high"),
    pytest.param(INDEXED, {"pair_second": np.array([1, 2, -4], i32)}, IndexError,
                 r"^pair_second\[2\] = -4 is out of range", id="pair_second-negative"),
    pytest.param(INDEXED, {"pair_second": np.array([1, 2], i32)}, ValueError,
                 r"^pair_second has 2 entries but pair_first has 3", id="pair_second-short"),
    pytest.param(FUNCTIONS, {"permutations": -1}, ValueError,
                 r"^the permutation count must be 0 or more, got -1$", id="permutations-negative"),
    pytest.param(FUNCTIONS, {"permutations": -2147483648}, ValueError,
                 r"permutation count", id="permutations-min"),
    pytest.param(FUNCTIONS, {"group1": np.arange(6, dtype=i32)}, ValueError,
                 r"^group1 and group2 have 6 \+ 5 samples but data has 10 samples .* at most 10",
                 id="groups-too-large"),
    pytest.param(FUNCTIONS, {"processes": 0}, RuntimeError, r"^Process number error$", id="processes-0"),
    pytest.param(FUNCTIONS, {"processes": -3}, RuntimeError, r"^Process number error$", id="processes-negative"),
    pytest.param(EXHAUSTIVE, {**NO_GROUPS, "data": np.ones((65537, 0), np.float32)}, ValueError,
                 r"65537 features.*use the indexed function", id="too-many-pairs"),
    pytest.param(SCORES, {"aggregate": "max"}, ValueError,
                 r'^aggregate must be "mean" or "median", got "max"$', id="aggregate-unknown"),
    pytest.param(SCORES, {"aggregate": "Mean"}, ValueError, r"aggregate", id="aggregate-case"),
]


@pytest.mark.parametrize(("functions", "overrides", "error", "message"), REFUSALS)
def test_refused_before_any_output(functions, overrides, error, message, capfd):
    capfd.readouterr()
    for name in functions:
        with pytest.raises(error, match=message):
            call(name, **overrides)
        assert capfd.readouterr().out == "", name


@pytest.mark.parametrize("name", FUNCTIONS)
def test_observed_cycle_alone_takes_any_groups(name, capfd):
    # Without permutations the groups may overlap and exceed the samples.
    result = call(name, group1=np.arange(10, dtype=i32), group2=np.arange(2, 9, dtype=i32), permutations=0)
    assert np.all(result[-1] == 0)
    capfd.readouterr()


@pytest.mark.parametrize("name", FUNCTIONS)
def test_groups_may_use_every_sample(name, capfd):
    # Every output is defined, one value per pair (or feature), and the
    # permutation p-values count the 2 cycles dealt from all ten samples.
    result = call(name, group1=np.arange(4, dtype=i32), group2=np.arange(4, 10, dtype=i32), permutations=2)
    capfd.readouterr()
    rows = {len(a) for a in result}
    assert rows == ({2} if name == "_score_pipeline_indexed" else {3})
    assert all(np.isfinite(a).all() for a in result)
    p = result[-1]
    assert np.isin(p, [0.0, 0.5, 1.0]).all(), p
