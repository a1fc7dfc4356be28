from collections.abc import Buffer
from os import PathLike
from typing import Any, NamedTuple

VALUE_TYPES: dict[str, int]
"""Value type name -> the type id a file stores for it."""

class PanicException(BaseException):
    """Raised when the native reader fails an internal check."""

class ValueBuffer:
    """Read-only bytes of one decoded array (supports the buffer protocol)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...

class ArrowSource:
    """A table read slice by slice, for Arrow: one record batch per table
    slice, columns named by position."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A new Arrow C stream in a PyCapsule named "arrow_array_stream"."""

class Values(NamedTuple):
    """The values of one array."""

    type: int
    data: ValueBuffer
    """Fixed-size values back to back, or the block of all texts."""
    offsets: ValueBuffer | None
    """Texts only: n + 1 int64 offsets into data."""

class ValueProperty(NamedTuple):
    name: str
    values: Values
    present: ValueBuffer
    """One byte per row, 1 where the row's slice holds the property."""

class Column(NamedTuple):
    name: str
    data_type: int
    properties: list[tuple[str, Any, Any]]
    values: Values
    is_invalid: ValueBuffer
    """One byte per row, 1 where the value did not read."""
    validity: ValueBuffer | None
    """Bit i (from 0x01 up) set where row i is valid; None when all are."""
    invalid_count: int
    value_properties: list[ValueProperty]

class File(NamedTuple):
    version: tuple[int, int]
    metadata: list[tuple[str, int, Any, Any]]
    descriptors: list[tuple[str, int, Any]]
    columns: list[Column]
    slice_rows: list[int]
    num_rows: int

class SlicedFile(NamedTuple):
    version: tuple[int, int]
    metadata: list[tuple[str, int, Any, Any]]
    descriptors: list[tuple[str, int, Any]]
    columns: list[tuple[str, int, list[tuple[str, Any, Any]], int]]
    """(name, declared type id, properties, stored type id) per column."""
    slice_rows: list[int]
    num_rows: int
    arrow: ArrowSource

def read_sliced(
    data: Buffer, /, *, threads: int = 1, text_views: bool = False
) -> SlicedFile | File:
    """Like read(), but a file whose slices hold no value property but the
    invalid flags, given as bytes, comes back as a SlicedFile whose arrays stay
    per table slice, fixed-size values pointing into `data`. With
    `text_views`, texts are Arrow string views into `data`.
    """

def read_file_sliced(
    path: str | bytes | PathLike[str] | PathLike[bytes],
    /,
    *,
    threads: int = 1,
    text_views: bool = False,
) -> SlicedFile | File:
    """Like read_file(), but a file of the common shape comes back as a
    SlicedFile whose arrays point into the mapped file.
    """

def read_joined(source: ArrowSource, /, *, threads: int = 1) -> File:
    """Reads the bytes behind `source` again, into joined columns."""

def read(data: Buffer, /, *, threads: int = 1) -> File:
    """Read a complete VREX file from a bytes-like object, decoding columns
    on up to `threads` threads when `data` is bytes.

    Raises ValueError when the data is not a valid file.
    """

def read_file(path: str | bytes | PathLike[str] | PathLike[bytes], /, *, threads: int = 1) -> File:
    """Read a complete VREX file from a path; the file is mapped, not copied,
    and columns are decoded on up to `threads` threads.

    Raises OSError when the file cannot be mapped and ValueError when it is
    not a valid file.
    """
