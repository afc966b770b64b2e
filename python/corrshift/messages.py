"""Wording shared by the error messages."""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable

#: Warnings point at the first caller outside this folder.
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


class CorrshiftWarning(UserWarning):
    """A warning about an analysis, from corrshift itself.

    Its own class, so that the command line tells corrshift's warnings from
    those of the libraries it uses, and so that a caller can filter them:
    ``warnings.filterwarnings("ignore", category=corrshift.CorrshiftWarning)``.
    """


class CorrshiftFutureWarning(CorrshiftWarning, FutureWarning):
    """A corrshift option that will go away (a :class:`FutureWarning` too)."""


def warn(message: str, category: type[CorrshiftWarning] = CorrshiftWarning) -> None:
    """Issue a :class:`CorrshiftWarning` that points at the caller's code, not at corrshift's."""
    warnings.warn(message, category, skip_file_prefixes=(PACKAGE_DIR,))


def few(items: Iterable, limit: int = 5) -> str:
    """``'a', 'b', 'c'`` for short lists, ``'a', 'b', ... (12 in all)`` for long ones."""
    items = list(items)
    shown = ", ".join(repr(_plain(x)) for x in items[:limit])
    if len(items) > limit:
        shown += f", ... ({len(items)} in all)"
    return shown


def _plain(x):
    # numpy scalars print as np.int64(3) under repr; show them as 3.
    return x.item() if hasattr(x, "item") and not isinstance(x, (str, bytes)) else x
