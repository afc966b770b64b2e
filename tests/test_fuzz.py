"""Hostile arguments for all four module functions.

Every call either returns arrays of the documented lengths and element types,
equal to the model's, or raises the exception that one of its argument
faults calls for, with nothing on standard output or error. The caller's
arrays are never written, whatever layout they have.
"""

import re

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import pipeline_model as model
import pipelines
from pipeline_calls import FUNCTIONS, PARAMETERS, assert_same_results

OPTION_WORDS = ["pearson", "spearman", "two-sided", "greater", "less", "mean", "median"]
ODD_WORDS = ["", "Spearman", "two-sided ", "LESS", "x" * 300, "spear\x00man", "\ud800", b"spearman", b"\xff"]
INT32_MAX = 2**31 - 1

INDEX_ARGS = ("pair_first", "pair_second", "group1", "group2")


class Refused(Exception):
    """The binding layer cannot convert this argument: TypeError."""


# --- argument strategies --------------------------------------------------------------------

VALUES = st.sampled_from([0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 1e-30, 1e30, -0.0, np.nan, np.inf, -np.inf])


@st.composite
def layouts(draw, array):
    """The same values as a C-contiguous array, a Fortran one, a strided view or a reversed view."""
    kind = draw(st.sampled_from(["c", "c", "fortran", "strided", "reversed"]))
    if kind == "fortran":
        return np.asfortranarray(array)
    if kind == "strided":
        wide = np.zeros(array.shape[:-1] + (2 * array.shape[-1],) if array.ndim else (), dtype=array.dtype)
        if array.ndim == 0:
            return array
        wide[..., ::2] = array
        return wide[..., ::2]
    if kind == "reversed" and array.ndim:
        return np.ascontiguousarray(array[..., ::-1])[..., ::-1]
    return array


def mostly(good, hostile, odds=12):
    """`good`, except for one draw in `odds` taken from `hostile` (shrinks towards good)."""
    return st.integers(0, odds - 1).flatmap(lambda i: hostile if i == odds - 1 else good)


@st.composite
def feature_matrices(draw, k, p):
    """The feature matrix: mostly float32 K x P, sometimes of another type or dimension, or None."""
    kind = draw(mostly(st.just("float32"),
                       st.sampled_from(["float64", "float16", "int16", "int32", "bool", "1d", "3d", "0d", "none"]),
                       odds=8))
    if kind == "none":
        return None
    if draw(st.booleans()):
        values = np.array(draw(st.lists(VALUES, min_size=k * p, max_size=k * p)), dtype=np.float64)
    else:  # smooth rows with a few constants, NaN and infinities
        values = draw(st.lists(st.floats(-4, 4, width=32), min_size=k * p, max_size=k * p))
    matrix = np.array(values, dtype=np.float64).reshape(k, p)
    if draw(st.booleans()) and k:
        matrix[draw(st.integers(0, k - 1))] = draw(VALUES)  # a constant row
    dtype = kind if kind in ("float64", "float16", "int16", "int32", "bool") else "float32"
    with np.errstate(invalid="ignore", over="ignore"):
        if dtype in ("int16", "int32", "bool"):
            matrix = np.nan_to_num(matrix, posinf=1, neginf=-1)
        matrix = matrix.astype(dtype)
    if kind == "1d":
        matrix = matrix.reshape(-1)
    elif kind == "3d":
        matrix = matrix.reshape(1, k, p)
    elif kind == "0d":
        matrix = np.array(1.5, dtype=np.float32)
    return draw(layouts(matrix))


@st.composite
def index_arrays(draw, bound, size=None):
    """Indices below bound, sometimes outside [0, bound), of another type, dimension or a list."""
    if size is None:  # a group: mostly small enough to be dealt from the samples, sometimes oversized
        size = draw(mostly(st.integers(0, bound // 2), st.integers(0, 12), odds=6))
    n = size
    outside = draw(mostly(st.just(False), st.just(True)))
    lo, hi = (-3, bound + 3) if outside else (0, max(bound - 1, 0))
    if bound == 0 and not outside:
        n = 0
    values = draw(st.lists(st.integers(lo, hi), min_size=n, max_size=n))
    kind = draw(mostly(st.sampled_from(["int32", "int32", "int32", "list"]),
                       st.sampled_from(["int16", "int64", "uint32", "float32", "0d", "2d", "none"])))
    if kind == "none":
        return None
    if kind == "list":
        return values
    if kind == "0d":
        return np.array(values[0] if values else 0, dtype=np.int32)
    dtype = "int32" if kind == "2d" else kind
    if kind == "uint32":
        values = [abs(v) for v in values]
    array = np.array(values, dtype=dtype)
    if kind == "2d":
        array = array.reshape(1, -1)
    return draw(layouts(array))


def strings(words):
    return mostly(st.sampled_from(words), st.one_of(st.sampled_from(OPTION_WORDS + ODD_WORDS), st.none()))


def permutation_counts():
    return mostly(st.sampled_from([0, 1, 3]),
                  st.sampled_from([-1, -1, np.int32(1), 3.0, INT32_MAX + 1, None]))


def process_counts():
    return mostly(st.integers(1, 64), st.sampled_from([-1, 0, np.int64(2), 2.0, -(2**31) - 1, True]))


@st.composite
def calls(draw, name):
    """The argument list of one call of `name`."""
    k, p = draw(st.integers(0, 6)), draw(st.integers(0, 10))
    args = {"data": draw(feature_matrices(k, p))}
    n_pairs = draw(st.integers(0, 8))
    sorted_pairs = draw(st.booleans())
    for arg in PARAMETERS[name][1:]:
        if arg in ("pair_first", "pair_second"):
            extra = draw(mostly(st.integers(0, 2), st.integers(-2, -1), odds=8)) if arg == "pair_second" else 0
            size = n_pairs + extra
            a = draw(index_arrays(k, max(size, 0)))
            if arg == "pair_first" and sorted_pairs and isinstance(a, np.ndarray) and a.ndim == 1:
                a = np.sort(a)
            args[arg] = a
        elif arg in ("group1", "group2"):
            args[arg] = draw(index_arrays(p))
        elif arg == "method":
            args[arg] = draw(strings(["pearson", "spearman"]))
        elif arg == "alternative":
            args[arg] = draw(strings(["two-sided", "greater", "less"]))
        elif arg == "aggregate":
            args[arg] = draw(strings(["mean", "median"]))
        elif arg == "permutations":
            args[arg] = draw(permutation_counts())
        else:
            args[arg] = draw(process_counts())
    return args


# --- what the binding layer and the checks make of the arguments -----------------------------


def converted_array(x, dtype):
    if x is None and dtype == np.float32:
        return np.array(np.nan, dtype=np.float32)  # numpy's conversion of None
    if isinstance(x, list):
        return np.array(x, dtype=dtype)
    if not isinstance(x, np.ndarray) or not np.can_cast(x.dtype, dtype, "safe"):
        raise Refused
    return np.array(x, dtype=dtype, order="C")


def converted_string(x):
    if isinstance(x, bytes):
        return x.decode("latin-1")  # compared byte for byte below; never an option word if not ASCII
    if not isinstance(x, str):
        raise Refused
    try:
        x.encode("utf-8")
    except UnicodeEncodeError:
        raise Refused from None
    return x


def converted_int(x):
    if isinstance(x, (float, np.floating)) or not isinstance(x, (int, np.integer)):
        raise Refused
    if not -(2**31) <= int(x) <= INT32_MAX:
        raise Refused
    return int(x)


def convert(name, args):
    out = {}
    for arg in PARAMETERS[name]:
        x = args[arg]
        if arg == "data":
            out[arg] = converted_array(x, np.float32)
        elif arg in INDEX_ARGS:
            out[arg] = converted_array(x, np.int32)
        elif arg in ("permutations", "processes"):
            out[arg] = converted_int(x)
        else:
            out[arg] = converted_string(x)
    return out


def faults(name, a):
    """(exception type, what its message must name) for every fault of the converted arguments."""
    found = []
    indexed = "pair_first" in a
    data_ok = a["data"].ndim == 2
    if not data_ok:
        found.append((ValueError, "data"))
    k, p = a["data"].shape if data_ok else (None, None)
    vectors_ok = True
    for arg in INDEX_ARGS:
        if arg in a and a[arg].ndim != 1:
            found.append((ValueError, arg))
            vectors_ok = False
    n_pairs = len(a["pair_first"]) if indexed and a["pair_first"].ndim == 1 else None
    if indexed and vectors_ok and len(a["pair_second"]) < n_pairs:
        found.append((ValueError, "pair_second"))
    if data_ok:
        bounds = {"group1": p, "group2": p, "pair_first": k, "pair_second": k}
        for arg in INDEX_ARGS:
            if arg in a and a[arg].ndim == 1:
                checked = a[arg][:n_pairs] if arg == "pair_second" else a[arg]
                if np.any((checked < 0) | (checked >= bounds[arg])):
                    found.append((IndexError, arg))
    if a["permutations"] < 0:
        found.append((ValueError, "permutation count"))
    elif a["permutations"] > 0 and data_ok and vectors_ok and len(a["group1"]) + len(a["group2"]) > p:
        found.append((ValueError, "group1"))
    if "aggregate" in a and a["aggregate"] not in ("mean", "median"):
        found.append((ValueError, "aggregate"))
    units = None
    if name == "_score_pipeline_exhaustive" and data_ok:
        units = k
    elif name == "_score_pipeline_indexed" and n_pairs is not None:
        units = len(model.runs(list(a["pair_first"])))
    if a["processes"] < 1 or units == 0:
        found.append((RuntimeError, "Process number error"))
    return found


def check_error(error, expected, a):
    assert expected, f"valid arguments raised {error!r}"
    matches = [(t, word) for t, word in expected if type(error) is t and word in str(error)]
    assert matches, f"{error!r} is none of {expected}"
    if isinstance(error, RuntimeError):
        assert str(error) == "Process number error"
    if isinstance(error, IndexError):  # names the position and the value, which is out of range
        arg, pos, value = re.match(r"(\w+)\[(\d+)\] = (-?\d+)", str(error)).groups()
        assert a[arg][int(pos)] == int(value)


# --- the property --------------------------------------------------------------------------


def result_lengths(name, a):
    k = a["data"].shape[0]
    if name == "_ztest_pipeline_exhaustive":
        return [k * (k - 1) // 2] * 5, [np.float32] * 5
    if name == "_ztest_pipeline_indexed":
        return [len(a["pair_first"])] * 5, [np.float32] * 5
    if name == "_score_pipeline_exhaustive":
        return [k] * 2, [np.float32] * 2
    return [len(model.runs(list(a["pair_first"])))] * 3, [np.int32, np.float32, np.float32]


def snapshot(args):
    """Bytes of every argument array and of the array a view looks into."""
    shots = {}
    for arg, x in args.items():
        if isinstance(x, np.ndarray):
            shots[arg] = (x.tobytes(), x.base.tobytes() if isinstance(x.base, np.ndarray) else None)
        elif isinstance(x, list):
            shots[arg] = list(x)
    return shots


@pytest.mark.slow
@pytest.mark.parametrize("name", FUNCTIONS)
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                    HealthCheck.too_slow])
@given(data=st.data())
def test_hostile_arguments(name, data, capfd):
    args = data.draw(calls(name))
    before = snapshot(args)
    capfd.readouterr()
    try:
        converted = convert(name, args)
    except Refused:
        converted = None
    try:
        results = getattr(pipelines, name)(*[args[arg] for arg in PARAMETERS[name]])
        error = None
    except Exception as e:  # noqa: BLE001 - checked below
        error = e
    out, err = capfd.readouterr()
    assert snapshot(args) == before, "an argument array was written"
    assert err == ""

    event("refused" if converted is None else type(error).__name__ if error else "returned")
    if converted is None:
        assert type(error) is TypeError and "incompatible function arguments" in str(error)
        assert out == ""
        return
    expected = faults(name, converted)
    if error is not None:
        check_error(error, expected, converted)
        assert out == ""
        return
    assert not expected, f"accepted arguments with faults {expected}"
    assert out.startswith("Permutation progress: ") and out.endswith("\n") and out.count("\n") == 1
    lengths, dtypes = result_lengths(name, converted)
    assert [r.dtype for r in results] == dtypes
    assert [r.shape for r in results] == [(n,) for n in lengths]
    assert_same_results(results, model.results(name, converted))


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


EMPTY = np.zeros(0, np.int32)


@pytest.mark.parametrize("shape,exhaustive_error,indexed_error", [
    ((2**31, 0), "more than 2147483647 rows", "more than 2147483647 rows"),
    ((0, 2**31), "more than 2147483647 rows or columns", "more than 2147483647 rows or columns"),
    ((2**40, 0), "more than 2147483647 rows", "more than 2147483647 rows"),
    ((65537, 0), "use the indexed function", None),  # 2147516416 pairs
])
def test_huge_shapes_are_refused_before_any_memory_is_used(shape, exhaustive_error, indexed_error, capfd):
    # Zero-size matrices: the shapes cost no memory, the results would.
    data = np.zeros(shape, np.float32)
    with pytest.raises(ValueError, match=exhaustive_error):
        pipelines._ztest_pipeline_exhaustive(data, EMPTY, EMPTY, "pearson", "less", 0, 1)
    with pytest.raises(ValueError, match=exhaustive_error):
        pipelines._score_pipeline_exhaustive(data, EMPTY, EMPTY, "pearson", "mean", "less", 0, 1)
    if indexed_error is None:  # listed pairs have no such limit
        assert pipelines._ztest_pipeline_indexed(data, EMPTY, EMPTY, EMPTY, EMPTY, "pearson", "less", 0,
                                                 1)[0].shape == (0,)
        capfd.readouterr()
    else:
        with pytest.raises(ValueError, match=indexed_error):
            pipelines._ztest_pipeline_indexed(data, EMPTY, EMPTY, EMPTY, EMPTY, "pearson", "less", 0, 1)
    assert capfd.readouterr() == ("", "")
