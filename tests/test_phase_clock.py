"""The phase clock the benchmarks read: stopped, it adds nothing; running,
it times packing and pairs of the z-test and also the feature phase of the
score, and reading it zeroes it."""

import numpy as np

from corrshift import _native_tests as native


def test_phase_clock(capfd):
    rng = np.random.default_rng(0)
    data = rng.normal(size=(120, 40)).astype(np.float32)
    g1, g2 = np.arange(20, dtype=np.int32), np.arange(20, 40, dtype=np.int32)
    native.phase_clock(False)
    native.ztest_pipeline_exhaustive(data, g1, g2, "pearson", "two-sided", 3, 2)
    assert native.phase_clock(True) == [0.0, 0.0, 0.0]

    native.ztest_pipeline_exhaustive(data, g1, g2, "pearson", "two-sided", 3, 2)
    rows, pairs, units = native.phase_clock(True)
    assert rows > 0 and pairs > 0 and units == 0

    native.score_pipeline_exhaustive(data, g1, g2, "spearman", "median", "two-sided", 3, 2)
    rows, pairs, units = native.phase_clock(False)
    assert rows > 0 and pairs > 0 and units > 0
    assert native.phase_clock(False) == [0.0, 0.0, 0.0]
    capfd.readouterr()
