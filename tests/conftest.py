"""Fixtures shared by the tests of the native module `pipelines`."""

import pytest

import sample_data


@pytest.fixture
def worked():
    """(data, group1, group2) of the three-feature worked example."""
    return sample_data.WORKED_DATA.copy(), sample_data.WORKED_GROUP1.copy(), sample_data.WORKED_GROUP2.copy()


@pytest.fixture
def real_matrix():
    return sample_data.real_matrix()


@pytest.fixture
def count_matrix():
    return sample_data.count_matrix()
