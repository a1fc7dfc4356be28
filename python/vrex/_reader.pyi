from collections.abc import Buffer
from typing import Any

class ValueBuffer:
    """Read-only bytes of one decoded array (supports the buffer protocol)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...

def read(data: Buffer, /) -> dict[str, Any]:
    """Read a complete VREX file from a bytes-like object.

    Returns a dict with the keys version, metadata, descriptors, columns,
    slice_rows and num_rows. Raises ValueError when the data is not a valid file.
    """
