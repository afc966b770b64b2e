"""The package's surface: corrshift.plot on first use, without matplotlib at import."""

import subprocess
import sys

import pytest


def _python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_plot_is_an_attribute_imported_on_first_use():
    pytest.importorskip("matplotlib")
    run = _python("import sys, corrshift\n"
                  "print('matplotlib' in sys.modules)\n"
                  "print(callable(corrshift.plot.network), corrshift.plot is sys.modules['corrshift.plot'])")
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["False", "True", "True"]


def test_without_matplotlib_the_error_says_how_to_install_it():
    run = _python("import sys; sys.modules['matplotlib'] = None\n"
                  "import corrshift\n"
                  "corrshift.ztest  # the rest works\n"
                  "corrshift.plot")
    assert run.returncode == 1
    assert "ImportError: corrshift.plot needs matplotlib: pip install 'corrshift[plot]'" in run.stderr


def test_other_names_are_still_attribute_errors():
    import corrshift

    with pytest.raises(AttributeError, match="module 'corrshift' has no attribute 'plots'"):
        corrshift.plots  # noqa: B018
    assert "plot" in corrshift.__all__ and hasattr(corrshift, "plot")
