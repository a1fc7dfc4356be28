"""Reading VREX files back: `read`, `read_file` and the `Table` they return.

The native reader hands every array over as buffers: fixed-size values as
their bytes, texts as one block plus offsets, invalid flags as bytes and as a
validity bitmap; a file read slice by slice goes to Arrow through its C
stream interface, one record batch per table slice. Nothing here makes an object per cell except
`Column.to_list()` and indexing into text values.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator, Sequence
from enum import IntEnum
from typing import Any

from vrex import _reader
from vrex._threads import thread_count

__all__ = ["Column", "Table", "ValueType", "read", "read_file", "TYPE_NAMES"]

if sys.byteorder != "little":  # pragma: no cover - the extension only builds for little-endian
    raise ImportError("vrex reads files on little-endian hosts only")

#: The type id of a value, numbered as the native reader numbers it.
ValueType = IntEnum("ValueType", _reader.VALUE_TYPES, module=__name__)
ValueType.__doc__ = "The one-byte type id of a value, as stored in a file."

#: Type id -> the name of the value type.
TYPE_NAMES: dict[int, str] = {int(member): member.name for member in ValueType}

# Fixed-size types: (memoryview format, numpy dtype). Values are little-endian.
_FIXED: dict[ValueType, tuple[str, str]] = {
    ValueType.Bool: ("?", "bool"),
    ValueType.Int: ("i", "<i4"),
    ValueType.Long: ("q", "<i8"),
    ValueType.Float: ("f", "<f4"),
    ValueType.Double: ("d", "<f8"),
    ValueType.DateTime: ("q", "<i8"),
    ValueType.Date: ("q", "<i8"),
    ValueType.Time: ("q", "<i8"),
    ValueType.TimeSpan: ("q", "<i8"),
}
_FLOATS = (ValueType.Float, ValueType.Double)
_TEXTS = (ValueType.String, ValueType.Binary)
_DECIMAL_WIDTH = 16


def _numpy():
    try:
        import numpy
    except ImportError:
        return None
    return numpy


class PackedValues(Sequence):
    """Texts, binary values or decimals kept packed in one block.

    Element i is `data[offsets[i]:offsets[i + 1]]`, or `width` bytes at
    `i * width` for fixed-width values; texts decode on access.
    """

    __slots__ = ("_data", "_offsets", "_width", "_text", "_start", "_stop", "_source")

    def __init__(self, source: Any, start: int = 0, stop: int | None = None) -> None:
        self._source = source  # the reader's Values, for building Arrow arrays
        self._data = memoryview(source.data)
        self._text = source.type == ValueType.String
        if source.offsets is None:
            self._offsets = None
            self._width = _DECIMAL_WIDTH
            count = len(self._data) // self._width
        else:
            self._offsets = memoryview(source.offsets).cast("q")
            self._width = 0
            count = len(self._offsets) - 1
        self._start = start
        self._stop = count if stop is None else stop

    def __len__(self) -> int:
        return self._stop - self._start

    def _element(self, index: int) -> Any:
        if self._offsets is None:
            raw = self._data[index * self._width : (index + 1) * self._width].tobytes()
        else:
            raw = self._data[self._offsets[index] : self._offsets[index + 1]].tobytes()
        return raw.decode() if self._text else raw

    def __getitem__(self, key: int | slice) -> Any:
        if isinstance(key, slice):
            start, stop, step = key.indices(len(self))
            if step == 1:
                return PackedValues(
                    self._source, self._start + start, self._start + max(start, stop)
                )
            return [self._element(self._start + k) for k in range(start, stop, step)]
        index = key + len(self) if key < 0 else key
        if not 0 <= index < len(self):
            raise IndexError("index out of range")
        return self._element(self._start + index)

    def __iter__(self) -> Iterator[Any]:
        for index in range(self._start, self._stop):
            yield self._element(index)

    def tolist(self) -> list:
        """Every element as a Python object (through Arrow when it is installed)."""
        try:
            import pyarrow as pa
        except ImportError:
            return list(self)
        whole = _arrow_values(pa, self._source, None, 0)
        return whole.slice(self._start, len(self)).to_pylist()

    def __repr__(self) -> str:
        return f"<vrex.PackedValues {len(self)} values>"


def _view(values: Any) -> Any:
    """The values of one array made indexable without an object per value.

    Fixed-size values become a read-only numpy array when numpy is installed,
    a typed memoryview otherwise; texts, binary values and decimals stay packed.
    """
    type_id = ValueType(values.type)
    if type_id not in _FIXED:
        return PackedValues(values)
    fmt, dtype = _FIXED[type_id]
    np = _numpy()
    if np is not None:
        return np.frombuffer(values.data, dtype=dtype)
    return memoryview(values.data).cast(fmt)


def _flags(payload: Any) -> Any:
    np = _numpy()
    if np is not None:
        return np.frombuffer(payload, dtype=bool)
    return memoryview(payload).cast("?")


class Column:
    """One column: its values from every table slice, joined, and their flags."""

    __slots__ = (
        "name",
        "type",
        "type_id",
        "properties",
        "value_type",
        "value_type_id",
        "values",
        "is_invalid",
        "value_properties",
        "_invalid_count",
        "_raw",
    )

    def __init__(self, raw: Any) -> None:
        self._raw = raw
        self.name: str = raw.name
        #: The declared value type.
        self.type_id: ValueType = ValueType(raw.data_type)
        #: Its name ("Double", "String", ...).
        self.type: str = self.type_id.name
        #: Further column properties from the table metadata: name -> value.
        self.properties: dict[str, Any] = {p[0]: p[1] for p in raw.properties}
        #: The type the values are stored in; differs from `type` only when
        #: the file holds texts for a type without a reading of its own.
        self.value_type_id: ValueType = ValueType(raw.values.type)
        self.value_type: str = self.value_type_id.name
        self.values = _view(raw.values)
        #: One flag per row: True where the value did not read and holds a placeholder.
        self.is_invalid = _flags(raw.is_invalid)
        self._invalid_count: int = raw.invalid_count
        #: Further value properties, name -> (values, present flags); rows of
        #: slices without the property hold placeholders and a False flag.
        self.value_properties: dict[str, tuple[Any, Any]] = {}
        for prop in raw.value_properties:
            self.value_properties.setdefault(prop.name, (_view(prop.values), _flags(prop.present)))

    @property
    def invalid_count(self) -> int:
        return self._invalid_count

    def __len__(self) -> int:
        return len(self.values)

    def to_list(self) -> list:
        """The values as Python objects, with None for invalid cells."""
        values = self.values.tolist() if hasattr(self.values, "tolist") else list(self.values)
        if self._invalid_count:
            flags = self.is_invalid
            values = [None if flags[k] else value for k, value in enumerate(values)]
        return values

    def to_arrow(self):
        """A pyarrow Array built on the column's buffers; invalid cells are nulls."""
        pa = _pyarrow()
        return _arrow_values(pa, self._raw.values, self._raw.validity, self._invalid_count)

    def __repr__(self) -> str:
        return (
            f"<vrex.Column {self.name!r} {self.type}, {len(self)} rows, "
            f"{self._invalid_count} invalid>"
        )


class Table:
    """A VREX file read back: metadata, and columns with every row joined.

    A file whose slices hold no value property but the invalid flags is read
    slice by slice: `to_arrow()` (and `to_pandas()`, `to_polars()`) get one
    chunk per table slice, numbers pointing into the file or `bytes` read, and
    the joined columns are read on first use.
    """

    def __init__(self, raw: Any, *, threads: int = 1) -> None:
        self.version: tuple[int, int] = raw.version
        #: Table-level metadata entries: name -> value (None when the file holds none).
        self.metadata: dict[str, Any] = {}
        for name, _type_id, value, _default in raw.metadata:
            self.metadata.setdefault(name, value)
        #: Rows per table slice, in file order.
        self.slice_rows: list[int] = raw.slice_rows
        self.num_rows: int = raw.num_rows
        self._threads = threads
        self._joined: list[Column] | None = None
        self._by_name: dict[str, Column] = {}
        if isinstance(raw, _reader.SlicedFile):
            self._arrow_source: Any = raw.arrow
            self._names: list[str] = [column[0] for column in raw.columns]
            self._types: list[ValueType] = [ValueType(column[1]) for column in raw.columns]
        else:
            self._arrow_source = None
            self._set_columns([Column(c) for c in raw.columns])
            self._names = [column.name for column in self._columns]
            self._types = [column.type_id for column in self._columns]

    def _set_columns(self, columns: list[Column]) -> None:
        self._joined = columns
        for column in columns:
            self._by_name.setdefault(column.name, column)

    @property
    def _columns(self) -> list[Column]:
        """The joined columns, read from the same bytes on first use."""
        if self._joined is None:
            raw = _reader.read_joined(self._arrow_source, threads=self._threads)
            self._set_columns([Column(c) for c in raw.columns])
        assert self._joined is not None
        return self._joined

    @property
    def columns(self) -> list[str]:
        """The column names, in file order (names may repeat)."""
        return list(self._names)

    @property
    def dtypes(self) -> dict[str, str]:
        return {name: type_id.name for name, type_id in zip(self._names, self._types, strict=True)}

    def column(self, key: str | int) -> Column:
        """A column by name (the first of that name) or by position."""
        columns = self._columns
        if isinstance(key, int):
            return columns[key]
        try:
            return self._by_name[key]
        except KeyError:
            raise KeyError(f"no column named {key!r}") from None

    __getitem__ = column

    def __iter__(self) -> Iterator[Column]:
        return iter(self._columns)

    def __len__(self) -> int:
        return self.num_rows

    def __repr__(self) -> str:
        pairs = zip(self._names[:8], self._types[:8], strict=True)
        shown = ", ".join(f"{name}: {type_id.name}" for name, type_id in pairs)
        if len(self._names) > 8:
            shown += f", ... ({len(self._names) - 8} more)"
        return (
            f"<vrex.Table {self.num_rows} rows x {len(self._names)} columns "
            f"in {len(self.slice_rows)} slices [{shown}]>"
        )

    def to_arrow(self):
        """A pyarrow Table built on the read buffers without copying them; invalid
        cells are nulls. Texts are `string` and binary values `binary`, with
        one chunk per table slice, unless a column's texts reach 2 GiB, which
        then stay `large_string` / `large_binary` in one chunk."""
        pa = _pyarrow()
        if self._arrow_source is not None:
            capsule = self._arrow_source.__arrow_c_stream__()
            batches = pa.RecordBatchReader._import_from_c_capsule(capsule)
            return batches.read_all().rename_columns(self._names)
        arrays = [_narrow_offsets(pa, column.to_arrow()) for column in self._columns]
        return pa.Table.from_arrays(arrays, names=self.columns)

    def to_pandas(self):
        """A pandas DataFrame; invalid cells are missing values.

        Float columns use NaN; Int, Long, the time types and Bool use pandas'
        nullable dtypes; texts use the text dtype of the installed pandas
        (Arrow-backed when pyarrow is installed); bytes are objects.
        """
        try:
            import numpy as np
            import pandas as pd
        except ImportError as error:
            raise ImportError("to_pandas() needs pandas: pip install 'vrex[pandas]'") from error
        try:
            import pyarrow as pa
        except ImportError:
            pa = None
        if pa is not None:
            mapping = {
                pa.bool_(): pd.BooleanDtype(),
                pa.int32(): pd.Int32Dtype(),
                pa.int64(): pd.Int64Dtype(),
            }
            # Positions as names, so that repeated column names stay apart.
            arrow = self.to_arrow().rename_columns([str(k) for k in range(len(self._names))])
            frame = arrow.to_pandas(types_mapper=mapping.get)
        else:
            data = {k: _pandas_series(pd, np, column) for k, column in enumerate(self._columns)}
            frame = pd.DataFrame(data, index=pd.RangeIndex(self.num_rows))
        frame.columns = self.columns
        return frame

    def to_polars(self):
        """A polars DataFrame, by way of Arrow; invalid cells are nulls."""
        try:
            import polars as pl
        except ImportError as error:
            raise ImportError("to_polars() needs polars: pip install polars") from error
        return pl.from_arrow(self.to_arrow(), rechunk=False)


def _pyarrow():
    try:
        import pyarrow as pa
    except ImportError as error:
        raise ImportError("to_arrow() needs pyarrow: pip install 'vrex[arrow]'") from error
    return pa


def _arrow_values(pa, values: Any, validity: Any, null_count: int):
    """One Arrow array over the buffers of the reader's Values."""
    type_id = ValueType(values.type)
    mask = pa.py_buffer(validity) if validity is not None else None
    data = pa.py_buffer(values.data)
    if type_id in _TEXTS:
        arrow_type = pa.large_string() if type_id == ValueType.String else pa.large_binary()
        offsets = pa.py_buffer(values.offsets)
        count = len(offsets) // 8 - 1
        return pa.Array.from_buffers(arrow_type, count, [mask, offsets, data], null_count)
    if type_id not in _FIXED:
        count = len(data) // _DECIMAL_WIDTH
        return pa.Array.from_buffers(pa.binary(_DECIMAL_WIDTH), count, [mask, data], null_count)
    if type_id == ValueType.Bool:
        count = len(data)
        data = pa.py_buffer(_pack_bools(values.data))
        return pa.Array.from_buffers(pa.bool_(), count, [mask, data], null_count)
    arrow_type = _ARROW_FIXED[type_id](pa)
    count = len(data) // arrow_type.byte_width
    return pa.Array.from_buffers(arrow_type, count, [mask, data], null_count)


def _narrow_offsets(pa, array):
    """Texts with 32-bit offsets where they fit, as a sliced read gives them."""
    wide = array.type in (pa.large_string(), pa.large_binary())
    data = array.buffers()[2] if wide else None
    if wide and (data is None or data.size < 2**31):
        return array.cast(pa.string() if array.type == pa.large_string() else pa.binary())
    return array


_ARROW_FIXED = {
    ValueType.Int: lambda pa: pa.int32(),
    ValueType.Long: lambda pa: pa.int64(),
    ValueType.Float: lambda pa: pa.float32(),
    ValueType.Double: lambda pa: pa.float64(),
    ValueType.DateTime: lambda pa: pa.int64(),
    ValueType.Date: lambda pa: pa.int64(),
    ValueType.Time: lambda pa: pa.int64(),
    ValueType.TimeSpan: lambda pa: pa.int64(),
}


def _pack_bools(payload: Any) -> Any:
    """Booleans one byte each, packed eight to a byte with the first in bit 0x01."""
    np = _numpy()
    if np is not None:
        return np.packbits(np.frombuffer(payload, dtype=np.uint8), bitorder="little")
    flags = memoryview(payload)
    packed = bytearray((len(flags) + 7) // 8)
    for index, flag in enumerate(flags):
        if flag:
            packed[index >> 3] |= 1 << (index & 7)
    return packed


_PANDAS_NULLABLE = {"bool": "boolean", "<i4": "Int32", "<i8": "Int64"}


def _pandas_series(pd, np, column: Column):
    """One column for pandas without pyarrow: NumPy-backed where the type allows."""
    type_id = column.value_type_id
    mask = np.asarray(column.is_invalid, dtype=bool)
    if type_id in _FLOATS:
        values = np.asarray(column.values)
        if column.invalid_count:
            values = np.where(mask, np.nan, values)
        return pd.Series(values, copy=False)
    if type_id in _FIXED:
        dtype = _FIXED[type_id][1]
        values = np.asarray(column.values)
        if dtype == "bool":
            array = pd.arrays.BooleanArray(values.copy(), mask.copy())
        else:
            array = pd.arrays.IntegerArray(values.copy(), mask.copy())
        return pd.Series(array, copy=False)
    if type_id == ValueType.String:
        return pd.Series(column.to_list())  # the text dtype of the installed pandas
    return pd.Series(column.to_list(), dtype=object)


def read(data: bytes | bytearray | memoryview, *, threads: int | None = None) -> Table:
    """Read a complete VREX file from a bytes-like object.

    Columns are decoded on up to `threads` threads (None: every core this
    process may use) when `data` is `bytes` of a MiB or more; a buffer that
    could change meanwhile is read on the calling thread. Raises ValueError ("VREX read
    error: ...") when the data is not a valid file.
    """
    count = thread_count(threads)
    return Table(_reader.read_sliced(data, threads=count), threads=count)


def read_file(path: str | os.PathLike, *, threads: int | None = None) -> Table:
    """Read a complete VREX file from `path`, mapping it rather than copying it.

    Columns of a file of a MiB or more are decoded on up to `threads` threads
    (None: every core this process may use). Raises OSError when the file cannot be opened and
    ValueError ("VREX read error: ...") when it is not a valid file.
    """
    count = thread_count(threads)
    return Table(_reader.read_file_sliced(path, threads=count), threads=count)
