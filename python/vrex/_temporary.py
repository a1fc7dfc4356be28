"""A new file beside another, removed on any failure, for writes that end in a rename."""

from __future__ import annotations

import contextlib
import os
import secrets
from collections.abc import Iterator
from typing import BinaryIO

_CREATE_NEW = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC


@contextlib.contextmanager
def file_beside(path: str, suffix: str) -> Iterator[tuple[str, BinaryIO]]:
    """A new file in the folder of `path`, for writing: its name and a stream on it.

    On any exception, one landing while the file is being made included (an
    interrupt), the file is removed; the stream is closed on leaving. Renamed
    over `path` inside the block, the file stays. It gets the mode a plain
    open() would give it (the umask applies).
    """
    folder, name = os.path.split(path)
    temporary = None
    descriptor = None
    try:
        while True:
            # Named before it exists, so that an interrupt landing after the
            # file is made but before open() returns still finds it to remove.
            temporary = os.path.join(folder or ".", f".{name}.{secrets.token_hex(8)}{suffix}")
            try:
                descriptor = os.open(temporary, _CREATE_NEW, 0o666)
                break
            except FileExistsError:
                temporary = None  # another writer's file: never remove it
        with os.fdopen(descriptor, "wb") as stream:
            descriptor = None
            yield temporary, stream
    except BaseException:
        if temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        if descriptor is not None:
            with contextlib.suppress(OSError):  # the stream took it and closed it already
                os.close(descriptor)
        raise
