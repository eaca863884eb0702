"""Files that appear whole or not at all."""

from __future__ import annotations

import contextlib
import os
import tempfile
from typing import Iterator, Union

__all__ = ["replaced_when_done", "same_file"]


def same_file(a: Union[str, "os.PathLike[str]"], b: Union[str, "os.PathLike[str]"]) -> bool:
    """Whether ``a`` and ``b`` name one existing file."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


@contextlib.contextmanager
def replaced_when_done(path: Union[str, "os.PathLike[str]"]) -> Iterator[str]:
    """A temporary path beside ``path`` (with its extension, which some
    writers read), renamed to ``path`` when the block ends without an error:
    a failure leaves no half-written file, and an older file at ``path``
    stands. Raises ``OSError`` where the folder cannot take a file."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    root, ext = os.path.splitext(os.path.basename(path))
    fd, tmp = tempfile.mkstemp(prefix=".%s." % root, suffix=".part" + ext, dir=folder)
    os.close(fd)
    try:
        yield tmp
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
