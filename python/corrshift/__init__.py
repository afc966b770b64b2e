"""corrshift: differential correlation between two groups of samples.

:func:`ztest` tests which feature pairs change their correlation between two
groups; :func:`score` scores each feature by how much its correlations
change. Both take numpy arrays, pandas DataFrames or AnnData objects and
return pandas DataFrames; :func:`network` turns a z-test table into a graph
of its significant pairs (needs networkx); :func:`show_runtime` prints the
versions and the native build corrshift runs with. Plots are in :mod:`corrshift.plot`
(needs matplotlib; ``corrshift.plot`` imports it on first use), the bundled real dataset in :mod:`corrshift.datasets`. The
numerical work is done by the native extension ``corrshift._core``.
"""

from . import datasets
from .api import score, ztest
from .messages import CorrshiftWarning
from .network import network, write_network
from .runtime import show_runtime

__all__ = ["CorrshiftWarning", "__version__", "datasets", "network", "plot", "score", "show_runtime", "write_network",
           "ztest"]
# The one place of the version number: pyproject.toml reads it from here.
__version__ = "0.1.0"


def __getattr__(name: str):
    # corrshift.plot on first use, so that ``import corrshift`` needs no matplotlib
    # (an ImportError then says how to install it).
    if name == "plot":
        import importlib

        return importlib.import_module(".plot", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
