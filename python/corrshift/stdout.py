"""Where the native progress line goes.

The native functions write their progress line with C++ stream output to file
descriptor 1, below Python's ``sys.stdout``, so ``contextlib.redirect_stdout``
cannot catch it. To silence one call, or to send its progress to standard
error, descriptor 1 itself is pointed elsewhere for the duration of the call.
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
    # The native "\n" that ends a progress line can still sit in the C
    # library's stdout buffer; flushed after the descriptor is restored, it
    # would reach the real output.
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


@contextlib.contextmanager
def _in_order():
    # Python's buffered output first, then the native line, flushed before
    # Python writes again: the lines appear in the order they were written.
    _flush_python_stdout()
    try:
        yield
    finally:
        _flush_c_streams()


def native_output(progress: bool):
    """Context manager for one native call: show its progress line or silence it."""
    return _in_order() if progress else silenced_stdout()
