"""The seeded random stream, the index draw and the dealing of samples."""

import pytest

import corrshift._native_tests as nt

TOP = 2**32 - 1


def test_engine_stream():
    assert nt.engine_outputs(733, 5) == [3443651709, 2850269050, 143809428, 1337268302, 3041942357]
    assert nt.engine_outputs(5489, 10000)[-1] == 4123659995


@pytest.mark.parametrize(
    ("n", "rejected"),
    [
        (6, [4294967292, 4294967293, 4294967294, 4294967295]),
        (3, [4294967295]),
        (4, []),
        (2**31, []),
        (7, list(range(TOP - 3, TOP + 1))),  # 2^32 mod 7 = 4
    ],
)
def test_draw_rejects_exactly_the_top_outputs(n, rejected):
    for r in range(TOP - 8, TOP + 1):
        index, used = nt.draw_index_from([r, 11], n)
        if r in rejected:
            assert (index, used) == (11 % n, 2)
        else:
            assert (index, used) == (r % n, 1)


def test_draw_consumes_one_output_per_attempt():
    assert nt.draw_index_from([TOP, TOP, TOP - 1, 5], 6) == (5, 4)


def test_sample_orders_are_cumulative_shuffles():
    assert nt.sample_orders(10, 2) == [
        [3, 2, 8, 0, 1, 6, 5, 4, 9, 7],
        [1, 4, 7, 0, 9, 2, 6, 8, 5, 3],
    ]
    assert nt.sample_orders(6, 1) == [[3, 2, 4, 0, 1, 5]]


@pytest.mark.parametrize("samples", [0, 1])
def test_too_few_samples_leave_the_order(samples):
    assert nt.sample_orders(samples, 3) == [list(range(samples))] * 3
