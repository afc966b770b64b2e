"""The module object, its four functions and the conversion of arguments."""

import ast
import importlib
import pathlib
import re

import numpy as np
import pipelines
import pytest

from pipeline_calls import FUNCTIONS, INDEXED, PARAMETERS, arguments, assert_same_results, call

F32 = "numpy.ndarray[numpy.float32]"
I32 = "numpy.ndarray[numpy.int32]"
ZTEST_RESULT = f"tuple[{F32}, {F32}, {F32}, {F32}, {F32}]"

# Signatures with one brace pair per parameter; the binding names them arg0, arg1, ...
SIGNATURES = {
    "_ztest_pipeline_indexed": f"({{{F32}}}, {{{I32}}}, {{{I32}}}, {{{I32}}}, {{{I32}}}, {{str}}, {{str}}, "
    f"{{int}}, {{int}}) -> {ZTEST_RESULT}",
    "_score_pipeline_indexed": f"({{{F32}}}, {{{I32}}}, {{{I32}}}, {{{I32}}}, {{{I32}}}, {{str}}, {{str}}, "
    f"{{str}}, {{int}}, {{int}}) -> tuple[{I32}, {F32}, {F32}]",
    "_ztest_pipeline_exhaustive": f"({{{F32}}}, {{{I32}}}, {{{I32}}}, {{str}}, {{str}}, {{int}}, {{int}}) "
    f"-> {ZTEST_RESULT}",
    "_score_pipeline_exhaustive": f"({{{F32}}}, {{{I32}}}, {{{I32}}}, {{str}}, {{str}}, {{str}}, {{int}}, "
    f"{{int}}) -> tuple[{F32}, {F32}]",
}


def named_signature(template):
    """The signature text with its brace pairs numbered arg0, arg1, ..."""
    counter = iter(range(100))
    return re.sub(r"\{([^{}]+)\}", lambda m: f"arg{next(counter)}: {m.group(1)}", template)


def test_exactly_four_functions_in_registration_order():
    names = [n for n in vars(pipelines) if not (n.startswith("__") and n.endswith("__"))]
    assert names == list(FUNCTIONS)
    assert all(callable(getattr(pipelines, n)) for n in names)


def test_no_module_docstring_and_import_is_cached():
    assert pipelines.__doc__ is None
    assert importlib.import_module("pipelines") is pipelines


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_is_name_and_signature(name):
    expected = name + named_signature(SIGNATURES[name])
    assert getattr(pipelines, name).__doc__.strip() == expected
    assert expected.count("arg") == len(PARAMETERS[name])


# The stub's array aliases and the types the binding's signatures name.
STUB_ALIASES = {"_F32": ("npt.NDArray[np.float32]", F32), "_I32": ("npt.NDArray[np.int32]", I32)}


def test_type_stub_matches_the_module():
    """pipelines.pyi, installed next to the module, declares its four
    functions with the binding's signatures: positional-only arguments of
    the same types, the same results."""
    stub = ast.parse(pathlib.Path(pipelines.__file__).with_name("pipelines.pyi").read_text())
    aliases = {n.targets[0].id: ast.unparse(n.value) for n in stub.body if isinstance(n, ast.Assign)}
    assert aliases == {alias: spelled for alias, (spelled, _) in STUB_ALIASES.items()}
    functions = [n for n in stub.body if isinstance(n, ast.FunctionDef)]
    assert [f.name for f in functions] == list(FUNCTIONS)

    def binding_type(annotation):
        text = ast.unparse(annotation)
        for alias, (_, binding) in STUB_ALIASES.items():
            text = re.sub(rf"\b{alias}\b", binding, text)
        return text

    for f in functions:
        a = f.args
        assert not (a.args or a.kwonlyargs or a.vararg or a.kwarg or a.defaults)
        assert tuple(p.arg for p in a.posonlyargs) == PARAMETERS[f.name]
        params = ", ".join(f"arg{i}: {binding_type(p.annotation)}" for i, p in enumerate(a.posonlyargs))
        assert f"{f.name}({params}) -> {binding_type(f.returns)}" == getattr(pipelines, f.name).__doc__.strip()


@pytest.mark.parametrize("name", FUNCTIONS)
def test_keyword_and_wrong_count_rejected(name, capfd):
    args = arguments(name)
    fn = getattr(pipelines, name)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        fn(*args[:-1], processes=2)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        fn(*args[:-1], arg0=2)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        fn(*args[:-1])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        fn(*args, 1)
    assert capfd.readouterr().out == ""


REFUSED = [
    pytest.param("data", np.ones((3, 10), dtype=np.float64), id="float64-matrix"),
    pytest.param("data", np.ones((3, 10), dtype=np.int64), id="int64-matrix"),
    pytest.param("group1", np.arange(5, dtype=np.int64), id="int64-group"),
    pytest.param("group2", np.arange(5, 10, dtype=np.float32), id="float-group"),
    pytest.param("group1", None, id="none-group"),
    pytest.param("method", None, id="none-method"),
    pytest.param("method", 3, id="int-method"),
    pytest.param("alternative", None, id="none-alternative"),
    pytest.param("permutations", 10.0, id="float-count"),
    pytest.param("permutations", 2147483648, id="count-2**31"),
    pytest.param("permutations", -2147483649, id="count-below-int32"),
    pytest.param("processes", None, id="none-processes"),
    pytest.param("processes", np.float64(2), id="float64-scalar-processes"),
]


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(("argument", "value"), REFUSED)
def test_unsafe_conversions_refused_before_output(name, argument, value, capfd):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(name, **{argument: value})
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("name", INDEXED)
def test_int64_pair_indices_refused(name, capfd):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(name, pair_first=np.array([0, 0, 1], dtype=np.int64))
    assert capfd.readouterr().out == ""


# (argument, value given, the value it must act as)
ACCEPTED = [
    pytest.param("group1", [0, 1, 2, 3, 4], np.arange(5, dtype=np.int32), id="int-list"),
    pytest.param("group2", np.arange(5, 10, dtype=np.int16), np.arange(5, 10, dtype=np.int32), id="int16"),
    pytest.param("permutations", np.int32(3), 3, id="int32-scalar"),
    pytest.param("processes", np.int64(2), 2, id="int64-scalar"),
    pytest.param("processes", 2147483647, 2, id="int32-max"),
    pytest.param("method", b"spearman", "spearman", id="bytes"),
    pytest.param("alternative", bytearray(b"less"), "less", id="bytearray"),
]


@pytest.mark.parametrize("name", FUNCTIONS)
@pytest.mark.parametrize(("argument", "value", "acts_as"), ACCEPTED)
def test_safe_conversions_accepted(name, argument, value, acts_as, capfd):
    assert_same_results(call(name, **{argument: value}), call(name, **{argument: acts_as}))
    capfd.readouterr()


@pytest.mark.parametrize("name", FUNCTIONS)
def test_non_contiguous_matrix_read_as_its_c_order_copy(name, capfd):
    rng = np.random.default_rng(3)
    stored = rng.normal(size=(10, 3)).astype(np.float32)
    view = stored.T  # 3 x 10, Fortran order
    assert not view.flags.c_contiguous
    assert_same_results(call(name, data=view), call(name, data=np.ascontiguousarray(view)))
    strided = rng.normal(size=(3, 20)).astype(np.float32)[:, ::2]
    assert_same_results(call(name, data=strided), call(name, data=strided.copy()))
    capfd.readouterr()


RESULT_TYPES = {
    "_ztest_pipeline_indexed": [np.float32] * 5,
    "_score_pipeline_indexed": [np.int32, np.float32, np.float32],
    "_ztest_pipeline_exhaustive": [np.float32] * 5,
    "_score_pipeline_exhaustive": [np.float32] * 2,
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_results_are_fresh_arrays(name, capfd):
    first = call(name)
    assert type(first) is tuple
    assert [r.dtype for r in first] == RESULT_TYPES[name]
    for r in first:
        assert r.ndim == 1 and r.flags.c_contiguous and r.flags.owndata and r.base is None
    kept = [r.copy() for r in first]
    for r in first:
        r[...] = 77
    second = call(name)
    assert_same_results(second, tuple(kept))
    for a in first:
        for b in second:
            assert not np.shares_memory(a, b)
    capfd.readouterr()
