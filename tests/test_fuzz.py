"""Hostile arguments for all four module functions."""

import numpy as np
import pytest

import pipelines


@pytest.mark.parametrize("aggregate,shown", [
    (b"\xff", r'"\xff"'),  # not UTF-8
    (b"me\x00an", r'"me\x00an"'),  # a NUL would end the message early
    ("médiane", r'"m\xc3\xa9diane"'),
    ("avg", '"avg"'),
])
def test_unknown_aggregate_is_a_value_error_showing_it(aggregate, shown, capfd):
    data = np.zeros((3, 4), np.float32)
    group = np.array([0, 1], np.int32)
    with pytest.raises(ValueError, match="aggregate") as error:
        pipelines._score_pipeline_exhaustive(data, group, group, "pearson", aggregate, "less", 0, 1)
    assert str(error.value).endswith(shown)
    with pytest.raises(ValueError, match="aggregate"):
        pipelines._score_pipeline_indexed(data, group, group, group, group, "pearson", aggregate, "less", 0, 1)
    assert capfd.readouterr() == ("", "")
