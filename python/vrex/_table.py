"""Reading VREX files back: `read` and the `Table` it returns."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from typing import Any

from vrex import _reader

__all__ = ["Column", "Table", "read", "TYPE_NAMES"]

# Type id -> the name of the value type.
TYPE_NAMES: dict[int, str] = {
    0x01: "Bool",
    0x02: "Int",
    0x03: "Long",
    0x04: "Float",
    0x05: "Double",
    0x06: "DateTime",
    0x07: "Date",
    0x08: "Time",
    0x09: "TimeSpan",
    0x0A: "String",
    0x0C: "Binary",
    0x0D: "Decimal",
}

# Fixed-size types: (memoryview format, numpy dtype). Values are little-endian.
_FIXED: dict[int, tuple[str, str]] = {
    0x01: ("?", "bool"),
    0x02: ("i", "<i4"),
    0x03: ("q", "<i8"),
    0x04: ("f", "<f4"),
    0x05: ("d", "<f8"),
    0x06: ("q", "<i8"),
    0x07: ("q", "<i8"),
    0x08: ("q", "<i8"),
    0x09: ("q", "<i8"),
}
_DECIMAL = 0x0D
_FLOATS = (0x04, 0x05)

if sys.byteorder != "little":  # pragma: no cover - the extension only builds for x86-64
    raise ImportError("vrex reads files on little-endian hosts only")


def _numpy():
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def _view(type_id: int, payload: Any) -> Any:
    """Values of one type id as handed over by the extension, made indexable.

    Fixed-size values become a read-only numpy array when numpy is installed,
    a typed memoryview otherwise; texts and binary values stay lists.
    """
    if type_id == _DECIMAL:
        raw = memoryview(payload)
        return [raw[k : k + 16].tobytes() for k in range(0, len(raw), 16)]
    if type_id not in _FIXED:
        return payload
    fmt, dtype = _FIXED[type_id]
    np = _numpy()
    if np is not None:
        return np.frombuffer(payload, dtype=dtype)
    return memoryview(payload).cast(fmt)


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
        "properties",
        "value_type",
        "values",
        "is_invalid",
        "value_properties",
        "_invalid_count",
    )

    def __init__(self, raw: tuple) -> None:
        (
            name,
            type_id,
            properties,
            values_type_id,
            values,
            invalid,
            invalid_count,
            value_properties,
        ) = raw
        self.name: str = name
        #: The declared value type ("Double", "String", ...).
        self.type: str = TYPE_NAMES[type_id]
        #: Further column properties from the table metadata: name -> value.
        self.properties: dict[str, Any] = {p[0]: p[1] for p in properties}
        #: The type the values are stored in; differs from `type` only when
        #: the file holds texts for a type without a reading of its own.
        self.value_type: str = TYPE_NAMES[values_type_id]
        self.values = _view(values_type_id, values)
        #: One flag per row: True where the value did not read and holds a placeholder.
        self.is_invalid = _flags(invalid)
        self._invalid_count: int = invalid_count
        #: Further value properties, name -> (values, present flags); rows of
        #: slices without the property hold placeholders and a False flag.
        self.value_properties: dict[str, tuple[Any, Any]] = {}
        for prop_name, prop_type, prop_values, present in value_properties:
            self.value_properties.setdefault(
                prop_name, (_view(prop_type, prop_values), _flags(present))
            )

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

    def __repr__(self) -> str:
        return (
            f"<vrex.Column {self.name!r} {self.type}, {len(self)} rows, "
            f"{self._invalid_count} invalid>"
        )


class Table:
    """A VREX file read back: metadata and columns with every row joined."""

    def __init__(self, raw: dict) -> None:
        self.version: tuple[int, int] = raw["version"]
        #: Table-level metadata entries: name -> value (None when the file holds none).
        self.metadata: dict[str, Any] = {}
        for name, _type_id, value, _default in raw["metadata"]:
            self.metadata.setdefault(name, value)
        #: Rows per table slice, in file order.
        self.slice_rows: list[int] = raw["slice_rows"]
        self.num_rows: int = raw["num_rows"]
        self._columns: list[Column] = [Column(c) for c in raw["columns"]]
        self._by_name: dict[str, Column] = {}
        for column in self._columns:
            self._by_name.setdefault(column.name, column)

    @property
    def columns(self) -> list[str]:
        """The column names, in file order (names may repeat)."""
        return [column.name for column in self._columns]

    @property
    def dtypes(self) -> dict[str, str]:
        return {column.name: column.type for column in self._columns}

    def column(self, key: str | int) -> Column:
        """A column by name (the first of that name) or by position."""
        if isinstance(key, int):
            return self._columns[key]
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
        shown = ", ".join(f"{c.name}: {c.type}" for c in self._columns[:8])
        if len(self._columns) > 8:
            shown += f", ... ({len(self._columns) - 8} more)"
        return (
            f"<vrex.Table {self.num_rows} rows x {len(self._columns)} columns "
            f"in {len(self.slice_rows)} slices [{shown}]>"
        )

    def to_pandas(self):
        """A pandas DataFrame; invalid cells are missing values.

        Float columns use NaN; Int, Long, the time types and Bool use pandas'
        nullable dtypes; texts and bytes are objects with None.
        """
        try:
            import numpy as np
            import pandas as pd
        except ImportError as error:
            raise ImportError("to_pandas() needs pandas: pip install 'vrex[pandas]'") from error
        data = {}
        for index, column in enumerate(self._columns):
            data[index] = _pandas_series(pd, np, column)
        frame = pd.DataFrame(data, index=pd.RangeIndex(self.num_rows))
        frame.columns = self.columns
        return frame

    def to_arrow(self):
        """A pyarrow Table; invalid cells are nulls."""
        try:
            import pyarrow as pa
        except ImportError as error:
            raise ImportError("to_arrow() needs pyarrow: pip install 'vrex[arrow]'") from error
        arrays = [_arrow_array(pa, column) for column in self._columns]
        return pa.Table.from_arrays(arrays, names=self.columns)


_PANDAS_NULLABLE = {"bool": "boolean", "<i4": "Int32", "<i8": "Int64"}


def _pandas_series(pd, np, column: Column):
    type_id = _type_id(column.value_type)
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
    if type_id == 0x0A:
        return pd.Series(column.to_list())  # the text dtype of the installed pandas
    return pd.Series(column.to_list(), dtype=object)


def _arrow_array(pa, column: Column):
    type_id = _type_id(column.value_type)
    mask = column.is_invalid if column.invalid_count else None
    if type_id in _FIXED and _numpy() is not None:
        return pa.array(column.values, mask=mask)
    if type_id == _DECIMAL:
        return pa.array(column.to_list(), type=pa.binary(16))
    if type_id == 0x0A:
        return pa.array(column.to_list(), type=pa.string())
    if type_id == 0x0C:
        return pa.array(column.to_list(), type=pa.binary())
    return pa.array(column.to_list())


def _type_id(name: str) -> int:
    for type_id, type_name in TYPE_NAMES.items():
        if type_name == name:
            return type_id
    raise KeyError(name)


def read(data: bytes | bytearray | memoryview) -> Table:
    """Read a complete VREX file from a bytes-like object.

    Raises ValueError ("VREX read error: ...") when the data is not a valid file.
    """
    return Table(_reader.read(data))
