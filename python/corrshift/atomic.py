"""Output files that appear whole or not at all.

A result file is written under a hidden temporary name in the folder of its
final name and renamed over it only once complete: a reader of the final name
sees the earlier complete file until the rename, and the new complete file
after it, whatever interrupts the writing (Ctrl-C, a full disk, an error). A
folder (a Parquet dataset) is built the same way: under a hidden temporary
folder beside it, renamed whole when every file is in. The temporary name is
removed when the writing fails; one left by a killed process starts with
``.partial-`` and is never read as a result.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import shutil
from collections.abc import Iterator
from pathlib import Path

#: Start of the temporary names of unfinished files and folders.
PARTIAL_PREFIX = ".partial-"


def _partial_name(final: Path) -> Path:
    # Hidden, unique, and ending in the final name, so that writers which
    # choose a format or compression by extension (pandas, matplotlib) see
    # the same extension.
    return final.with_name(f"{PARTIAL_PREFIX}{secrets.token_hex(4)}-{final.name}")


def _fsync(path: Path) -> None:
    # The bytes reach the disk before the rename makes them the result, so
    # a power cut cannot leave an empty file under the final name.
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _raise_named(error: BaseException, partial: Path, final: Path) -> None:
    """Raise an OSError met while writing under ``partial`` again as one that names ``final``.

    The temporary name means nothing to whoever asked for ``final``:
    "cannot write 'res.tsv': Permission denied", not the hidden name. The
    error's class and errno stay (a PermissionError stays one); other
    errors are left to the caller's ``raise``.
    """
    if not isinstance(error, OSError) or str(partial) not in f"{error} {error.filename}":
        return
    reason = error.strerror if error.filename is not None and error.strerror else str(error)
    named = type(error)(f"cannot write {str(final)!r}: {reason.replace(str(partial), str(final))}")
    named.errno = error.errno
    raise named from error


@contextlib.contextmanager
def atomic_path(path) -> Iterator[Path]:
    """A temporary path to write ``path`` to; renamed into place when the block ends without error.

    Parameters
    ----------
    path : str or path-like
        The final file name. Missing parent folders are created.

    Yields
    ------
    pathlib.Path
        A hidden name in the same folder, ending in the final name (so its
        extension is the same). Write the whole file there.

    Notes
    -----
    On an exception (KeyboardInterrupt included) the temporary file is
    removed and ``path`` keeps what it held before. The rename is atomic on
    POSIX file systems, as both names are in the same folder.
    """
    final = Path(path)
    final.parent.mkdir(parents=True, exist_ok=True)
    partial = _partial_name(final)
    try:
        yield partial
        if not partial.exists():
            raise FileNotFoundError(f"nothing was written for {str(final)!r}")
        _fsync(partial)
        os.replace(partial, final)
    except BaseException as error:
        with contextlib.suppress(OSError):
            partial.unlink()
        _raise_named(error, partial, final)
        raise


def check_new_folder(path) -> Path:
    """``path`` as a Path, if it names a folder that does not exist or is empty.

    Raises
    ------
    FileExistsError
        When ``path`` is a file or a folder that holds anything: the rows of
        an earlier run would mix with the new ones.
    """
    folder = Path(path)
    if folder.exists() and (not folder.is_dir() or any(folder.iterdir())):
        raise FileExistsError(f"{str(folder)!r} exists and is not an empty folder; choose a new name or "
                              "remove it")
    return folder


@contextlib.contextmanager
def atomic_folder(path) -> Iterator[Path]:
    """A temporary folder to build ``path`` in; renamed to ``path`` whole when the block ends without error.

    Parameters
    ----------
    path : str or path-like
        The final folder: it must not exist or be empty (see
        :func:`check_new_folder`).

    Yields
    ------
    pathlib.Path
        An empty hidden folder beside ``path``. Write every file there.

    Notes
    -----
    Until the rename, ``path`` is absent (or the empty folder it was), so a
    reader never takes a partial dataset for a complete one. On an exception
    the temporary folder and its files are removed.
    """
    final = check_new_folder(path)
    final.parent.mkdir(parents=True, exist_ok=True)
    partial = _partial_name(final)
    try:
        partial.mkdir()
        yield partial
        for file in partial.iterdir():
            _fsync(file)
        check_new_folder(final)  # nothing appeared there meanwhile
        os.replace(partial, final)  # also over an empty folder
    except BaseException as error:
        shutil.rmtree(partial, ignore_errors=True)
        _raise_named(error, partial, final)
        raise
