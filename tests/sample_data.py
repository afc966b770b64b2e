"""Small matrices shared by the tests."""

import numpy as np

# Three features over ten samples; the worked example uses samples 0-4 as
# group 1 and samples 5-9 as group 2.
WORKED_DATA = np.array(
    [
        [1, 2, 5, 10, 9, 8, 4, 6, 7, 3],
        [7, 8, 4, 1, 6, 2, 10, 9, 3, 5],
        [9, 10, 6, 4, 8, 5, 7, 1, 2, 3],
    ],
    dtype=np.float32,
)
WORKED_GROUP1 = np.arange(0, 5, dtype=np.int32)
WORKED_GROUP2 = np.arange(5, 10, dtype=np.int32)


def real_matrix():
    """(data, group1, group2): 6 real-valued features over 24 samples, 10 + 12 of them grouped."""
    rng = np.random.default_rng(20240611)
    data = rng.normal(size=(6, 24)).astype(np.float32)
    data[1] += data[0] * np.linspace(-1, 1, 24, dtype=np.float32)  # a correlation that changes sign
    return data, np.arange(0, 10, dtype=np.int32), np.arange(12, 24, dtype=np.int32)


def count_matrix():
    """(data, group1, group2): 9 count-like features over 80 samples, mostly zeros, so
    ranks depend on the order the index sort gives ties in groups of more than 32."""
    rng = np.random.default_rng(99)
    data = rng.poisson(0.6, size=(9, 80)).astype(np.float32)
    return data, np.arange(0, 40, dtype=np.int32), np.arange(40, 80, dtype=np.int32)
