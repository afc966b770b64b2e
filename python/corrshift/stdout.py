"""Standard output around analyses: the progress line, and descriptor 1 redirected.

The permutation progress line is written to ``sys.stdout`` as the native
engine reports its cycles. The command line sends it to standard error, so
that standard output carries only results, by pointing descriptor 1 itself
elsewhere for the duration of the analysis (which also catches output of
native code, below Python's ``sys.stdout``).
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import sys
import threading

_lock = threading.Lock()
_depth = 0
_saved_fd: int | None = None


def _flush_c_streams() -> None:
    # Output of native code can still sit in the C library's stdout buffer;
    # flushed after the descriptor is restored, it would reach the real output.
    ctypes.CDLL(None).fflush(None)


def _flush_python_stdout() -> None:
    with contextlib.suppress(Exception):
        sys.stdout.flush()


@contextlib.contextmanager
def _fd1_pointed_at(open_target):
    """Point descriptor 1 at the descriptor ``open_target()`` returns.

    The first block entered redirects; blocks entered while it is open (on
    this or other threads) keep that redirection, and the last one out
    restores the original descriptor, also when the block raises (an
    exception of the native call, KeyboardInterrupt).
    """
    global _depth, _saved_fd
    with _lock:
        if _depth == 0:
            _flush_python_stdout()
            _flush_c_streams()
            saved = os.dup(1)
            try:
                target = open_target()
                try:
                    os.dup2(target, 1)
                finally:
                    os.close(target)
            except BaseException:
                os.close(saved)
                raise
            _saved_fd = saved
        _depth += 1
    try:
        yield
    finally:
        with _lock:
            _depth -= 1
            if _depth == 0:
                _flush_python_stdout()
                _flush_c_streams()
                os.dup2(_saved_fd, 1)
                os.close(_saved_fd)
                _saved_fd = None


def silenced_stdout():
    """Context manager: descriptor 1 writes to ``/dev/null`` inside the block."""
    return _fd1_pointed_at(lambda: os.open(os.devnull, os.O_WRONLY))


def stdout_to_stderr():
    """Context manager: descriptor 1 writes to descriptor 2 inside the block.

    The command line uses it so that the progress line goes to the terminal
    while standard output carries only results.
    """
    sys.stderr.flush()
    return _fd1_pointed_at(lambda: os.dup(2))


PROGRESS_PREFIX = "Permutation progress: "


class _ProgressLine:
    """``progress(done, total)`` for the native engine: a bar redrawn in place on standard output.

    The engine calls it on the calling thread between permutation cycles;
    the line is rewritten only when the percentage changes.
    """

    CELLS = 50

    def __init__(self) -> None:
        self.shown = -1

    def draw(self, percent: int) -> None:
        if percent == self.shown:
            return
        self.shown = percent
        cells = percent * self.CELLS // 100
        sys.stdout.write(f"\r{PROGRESS_PREFIX}[{'#' * cells}{' ' * (self.CELLS - cells)}] {percent}%")
        sys.stdout.flush()

    def __call__(self, done: int, total: int) -> None:
        self.draw(min(100, done * 100 // total) if total > 0 else 100)


@contextlib.contextmanager
def progress_line(show: bool):
    """Context manager for one native call: yields its progress callable, or None when not shown.

    The line starts at 0% and, when the call returns, shows 100% and ends
    with a newline (also when the call raised, without the 100%).
    """
    if not show:
        yield None
        return
    line = _ProgressLine()
    try:
        line.draw(0)
        yield line
        line.draw(100)
    finally:
        sys.stdout.write("\n")
        sys.stdout.flush()
