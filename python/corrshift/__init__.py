"""corrshift: differential correlation between two groups of samples.

:func:`ztest` tests which feature pairs change their correlation between two
groups; :func:`score` scores each feature by how much its correlations
change. Both take numpy arrays, pandas DataFrames or AnnData objects and
return pandas DataFrames; :func:`network` turns a z-test table into a graph
of its significant pairs (needs networkx). Plots are in :mod:`corrshift.plot`
(needs matplotlib), the bundled real dataset in :mod:`corrshift.datasets`. The
numerical work is done by the native extension ``corrshift._core``.
"""

from . import datasets
from .api import score, ztest
from .messages import CorrshiftWarning
from .network import network, write_network

__all__ = ["CorrshiftWarning", "__version__", "datasets", "network", "score", "write_network", "ztest"]
__version__ = "0.1.0"
