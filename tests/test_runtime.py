"""What corrshift runs with: CORRSHIFT_KERNELS forces a kernel build, show_runtime reports it, the version
is written once."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import corrshift
from corrshift import _core

ROOT = Path(__file__).resolve().parents[1]

# Runs every statistic of the native entry on data with ties, NaN and constant rows, and prints the
# active build, how it was chosen, and a digest of every result's bytes.
DIGEST = """
import hashlib, numpy as np
from corrshift import _core
rng = np.random.default_rng(3)
data = np.round(rng.normal(size=(37, 50)), 1).astype(np.float32)
data[4] = 0.0
data[5, 7] = np.nan
g1, g2 = np.arange(0, 50, 2, dtype=np.int32), np.arange(1, 50, 2, dtype=np.int32)
first, second = (a.astype(np.int32) for a in np.triu_indices(37, 1))
h = hashlib.sha256()
for method in ("pearson", "spearman"):
    for alternative in ("two-sided", "greater", "less"):
        results = [*_core.ztest_exhaustive(data, g1, g2, method, alternative, 40, 2),
                   *_core.ztest_indexed(data, first[::5], second[::5], g1, g2, method, alternative, 40, 2)]
        for aggregate in ("mean", "median"):
            results += _core.score_exhaustive(data, g1, g2, method, aggregate, alternative, 30, 2)
        for a in results:
            h.update(np.ascontiguousarray(a).tobytes())
builds = _core.kernel_builds()
print(builds["active"], builds["chosen_by"], h.hexdigest())
"""


def _python(code, kernels=None):
    """Runs `code` in a new interpreter; CORRSHIFT_KERNELS is `kernels`, or unset for None."""
    env = {k: v for k, v in os.environ.items() if k != "CORRSHIFT_KERNELS"}
    if kernels is not None:
        env["CORRSHIFT_KERNELS"] = kernels
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout


@pytest.fixture(scope="module")
def automatic():
    """(build, how chosen, digest) of the automatic choice."""
    return _python(DIGEST).split()


def test_automatic_choice_is_the_widest_build_the_cpu_runs(automatic):
    builds = _core.kernel_builds()
    assert automatic[:2] == [builds["available"][0], "automatic"]


@pytest.mark.parametrize("build", _core.kernel_builds()["available"])
def test_forced_build_runs_and_gives_the_same_results_bit_for_bit(automatic, build):
    forced, chosen_by, digest = _python(DIGEST, kernels=build).split()
    assert (forced, chosen_by) == (build, "CORRSHIFT_KERNELS")
    assert digest == automatic[2]


def test_an_empty_value_is_the_automatic_choice(automatic):
    assert _python(DIGEST, kernels="").split() == automatic


# What a refused name does: the report says why, and every computation raises a ValueError that lists
# the builds this CPU runs.
REFUSED = """
import numpy as np, corrshift
corrshift.show_runtime()
try:
    corrshift.ztest(np.eye(6), group1=[0, 1, 2], group2=[3, 4, 5], permutations=0)
except ValueError as e:
    print("ValueError:", e)
"""


def _refused(name, why):
    out = _python(REFUSED, kernels=name)
    runs = ", ".join(_core.kernel_builds()["available"])
    message = f'CORRSHIFT_KERNELS="{name}" {why}; this CPU runs: {runs}'
    assert f"kernel build: none: {message}\n" in out
    assert f"ValueError: {message}\n" in out


def test_an_unknown_build_is_refused_naming_those_available():
    _refused("avx3", "names no kernel build of corrshift")


def test_a_build_the_cpu_cannot_run_is_refused():
    builds = _core.kernel_builds()
    beyond = [b for b in builds["compiled"] if b not in builds["available"]]
    if not beyond:
        pytest.skip("this CPU runs every build compiled in")
    _refused(beyond[0], "is a build this CPU cannot run")


def test_show_runtime_names_the_version_and_the_build():
    out = _python("import corrshift; corrshift.show_runtime()", kernels="baseline" if _x86() else None)
    builds = _core.kernel_builds()
    assert out.startswith(f"corrshift {corrshift.__version__}\n")
    expected = "baseline (forced by CORRSHIFT_KERNELS)" if _x86() else f"{builds['active']} (chosen automatically)"
    assert f"\nkernel build: {expected}\n" in out
    assert f"\nkernel builds compiled in: {', '.join(builds['compiled'])}\n" in out
    for name in ("numpy", "pandas", "scipy", "anndata", "dask"):
        assert re.search(rf"^{name} \S+", out, re.MULTILINE), name


def test_show_runtime_reports_the_cpu_features_the_choice_tests(capsys):
    corrshift.show_runtime()
    out = capsys.readouterr().out
    features = _core.kernel_builds()["cpu_features"]
    if _x86():
        assert {"avx2", "avx512f"} <= set(features)
    for name, present in features.items():
        assert f"{name} {'yes' if present else 'no'}" in out
    assert "show_runtime" in corrshift.__all__


def _x86():
    return "baseline" in _core.kernel_builds()["compiled"]


def test_the_version_is_written_once():
    """pyproject.toml takes the version from the package (scikit-build-core's regex provider)."""
    tomllib = pytest.importorskip("tomllib")
    regex = pytest.importorskip("scikit_build_core.metadata.regex")
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    assert "version" not in project["project"] and "version" in project["project"]["dynamic"]
    settings = project["tool"]["scikit-build"]["metadata"]["version"]
    assert regex.dynamic_metadata("version", {"input": str(ROOT / settings["input"])}) == corrshift.__version__
