"""corrshift: differential correlation between two groups of samples.

The numerical work is done by the native extension module ``pipelines``.
"""

import pipelines as _pipelines

__all__ = ["__version__"]
__version__ = "0.1.0"
