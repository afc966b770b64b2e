"""Progress of an analysis: a tqdm bar where a person is watching.

The native engine calls ``progress(done, total)`` on the calling thread
between permutation cycles; a chunked run reports its chunks. Both are
drawn by ``tqdm.auto``: a widget in a notebook, a bar on standard error in a
terminal, never anything on standard output (which carries results).
"""

from __future__ import annotations

import contextlib
import os
import sys


def _in_jupyter_kernel() -> bool:
    if "ipykernel" not in sys.modules:
        return False
    try:
        from IPython import get_ipython
    except ImportError:
        return False
    shell = get_ipython()
    return shell is not None and "IPKernelApp" in getattr(shell, "config", {})


def _terminal_size() -> os.terminal_size | None:
    try:
        return os.get_terminal_size(sys.stderr.fileno())
    except (AttributeError, ValueError, OSError):  # not a terminal, or no descriptor
        return None


def someone_watching() -> bool:
    """Whether a person is likely to see progress: standard error is a terminal, or a Jupyter kernel runs us.

    Returns
    -------
    bool
    """
    if _in_jupyter_kernel():
        return True
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced or closed standard error
        return False


def shows_progress(progress) -> bool:
    """Whether to show progress for the ``progress=`` option of an analysis.

    Parameters
    ----------
    progress : bool or None
        True or False force the bar on or off; None shows it only where a
        person is watching (:func:`someone_watching`).

    Returns
    -------
    bool
    """
    if progress is None:
        return someone_watching()
    if isinstance(progress, bool):
        return progress
    raise ValueError(f"progress must be True, False or None; got {progress!r}")


@contextlib.contextmanager
def progress_bar(progress, what: str, unit: str):
    """Context manager: yields ``report(done, total)`` drawing one bar, or None when none is shown.

    Parameters
    ----------
    progress : bool or None
        As for :func:`shows_progress`.
    what : str
        The bar's label.
    unit : str
        What ``done`` counts.

    Yields
    ------
    callable or None
        ``report(done, total, **postfix)``; the bar's total follows the
        latest ``total``, and keywords show after it (``running=...``).

    Notes
    -----
    The bar is closed when the block ends, also when it raises (an error,
    KeyboardInterrupt): its line ends then, so a message that follows stands
    on a line of its own.
    """
    if not shows_progress(progress):
        yield None
        return
    from tqdm.auto import tqdm

    # A terminal that reports no size (a bare pseudo-terminal) would hide the
    # bar: it gets 80 x 24 instead.
    size = _terminal_size()
    shape = {"dynamic_ncols": True}
    if size is not None and 0 in size:
        shape = {"ncols": size.columns or 80, "nrows": size.lines or 24}
    bar = None

    def report(done: int, total: int, **postfix) -> None:
        if postfix:
            bar.set_postfix(postfix, refresh=False)
        if bar.total != total:
            bar.total = total
            bar.refresh()
        bar.update(done - bar.n)

    try:
        bar = tqdm(desc=what, unit=unit, file=sys.stderr, **shape)
        yield report
    except BaseException:
        if bar is None:  # interrupted while the bar was being drawn: its line still ends
            sys.stderr.write("\n")
        raise
    finally:
        if bar is not None:
            bar.close()
