"""A small, independent decoder of converter output, used only by the tests.

It walks every section, checks each count against the bytes that follow, and
gives back the table: version, metadata entries, columns and, per table slice,
the values and "IsInvalid" flags of each column slice."""

import struct
from dataclasses import dataclass, field

MAGIC = b"\xa7\x3c"
FIXED_SIZES = {
    0x01: 1,
    0x02: 4,
    0x03: 8,
    0x04: 4,
    0x05: 8,
    0x06: 8,
    0x07: 8,
    0x08: 8,
    0x09: 8,
    0x0D: 16,
}
FORMATS = {
    0x01: "B",
    0x02: "i",
    0x03: "q",
    0x04: "f",
    0x05: "d",
    0x06: "q",
    0x07: "q",
    0x08: "q",
    0x09: "q",
}
TYPE_NAMES = {
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


class DecodeError(Exception):
    pass


@dataclass
class ColumnSlice:
    type_id: int
    values: list
    invalid: list  # one bool per value
    properties: dict = field(default_factory=dict)


@dataclass
class Table:
    version: tuple
    metadata: dict
    columns: list  # (name, type id)
    slices: list  # list of list[ColumnSlice]

    @property
    def rows_per_slice(self):
        return [len(s[0].values) if s else 0 for s in self.slices]

    def column(self, index):
        values, invalid = [], []
        for table_slice in self.slices:
            values += table_slice[index].values
            invalid += table_slice[index].invalid
        return values, invalid


class _Cursor:
    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def take(self, n: int) -> bytes:
        if n < 0 or self.pos + n > len(self.data):
            raise DecodeError(f"truncated at {self.pos} (wanted {n} bytes)")
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def byte(self) -> int:
        return self.take(1)[0]

    def count(self) -> int:
        value = struct.unpack("<i", self.take(4))[0]
        if value < 0:
            raise DecodeError(f"negative count at {self.pos - 4}")
        return value

    def text(self) -> str:
        return self.take(self.count()).decode("utf-8")

    def packed_int(self) -> int:
        value = shift = 0
        for _ in range(5):
            b = self.byte()
            value |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return value
        raise DecodeError("7-bit packed integer longer than 5 bytes")

    def section(self, expected: int) -> None:
        if self.take(2) != MAGIC:
            raise DecodeError(f"bad magic at {self.pos - 2}")
        got = self.byte()
        if got != expected:
            raise DecodeError(f"expected section {expected}, got {got}")


def _unpacked_value(cur: _Cursor, type_id: int):
    if type_id in FORMATS:
        return struct.unpack("<" + FORMATS[type_id], cur.take(FIXED_SIZES[type_id]))[0]
    if type_id == 0x0D:
        return cur.take(16)
    if type_id in (0x0A, 0x0C):
        raw = cur.take(cur.count())
        return raw.decode("utf-8") if type_id == 0x0A else raw
    raise DecodeError(f"unknown type id {type_id}")


def _packed_values(cur: _Cursor, type_id: int, count: int) -> list:
    if type_id in FORMATS:
        raw = cur.take(FIXED_SIZES[type_id] * count)
        return list(struct.unpack(f"<{count}{FORMATS[type_id]}", raw))
    if type_id == 0x0D:
        return [cur.take(16) for _ in range(count)]
    if type_id in (0x0A, 0x0C):
        total = cur.count()
        end = cur.pos + total
        values = []
        for _ in range(count):
            raw = cur.take(cur.packed_int())
            values.append(raw.decode("utf-8") if type_id == 0x0A else raw)
        if cur.pos != end:
            raise DecodeError(f"string total {total} does not match the texts")
        return values
    raise DecodeError(f"unknown type id {type_id}")


def _bits(cur: _Cursor, count: int) -> list:
    raw = cur.take((count + 7) // 8)
    return [bool(raw[i // 8] & (0x80 >> (i % 8))) for i in range(count)]


def _value_array(cur: _Cursor):
    encoding, type_id = cur.byte(), cur.byte()
    if encoding == 1:
        return type_id, _packed_values(cur, type_id, cur.count())
    if encoding == 2:
        total, runs = cur.count(), cur.take(cur.count())
        distinct = _packed_values(cur, type_id, cur.count())
        if sum(r + 1 for r in runs) != total or len(runs) != len(distinct):
            raise DecodeError("run-length totals do not add up")
        return type_id, [v for v, r in zip(distinct, runs, strict=True) for _ in range(r + 1)]
    if encoding == 3:
        if type_id != 0x01:
            raise DecodeError("bit array of a type other than Bool")
        return type_id, _bits(cur, cur.count())
    raise DecodeError(f"invalid encoding {encoding}")


def decode(data: bytes) -> Table:
    cur = _Cursor(data)
    cur.section(1)
    version = (cur.byte(), cur.byte())
    cur.section(2)
    metadata = {}
    for _ in range(cur.count()):
        name, type_id = cur.text(), cur.byte()
        if cur.byte() != 1:
            raise DecodeError("metadata value count other than 1")
        metadata[name] = _unpacked_value(cur, type_id)
        if cur.byte() == 1:
            _unpacked_value(cur, type_id)
    column_count, descriptor_count = cur.count(), cur.count()
    descriptors = []
    for _ in range(descriptor_count):
        name, type_id = cur.text(), cur.byte()
        if cur.byte() == 1:
            _unpacked_value(cur, type_id)
        descriptors.append((name, type_id))
    columns = []
    for _ in range(column_count if descriptor_count else 0):
        values = {}
        for name, type_id in descriptors:
            if cur.byte() == 1:
                values[name] = _unpacked_value(cur, type_id)
        columns.append((values["Name"], values["DataType"][0]))
    slices = []
    while True:
        if cur.take(2) != MAGIC:
            raise DecodeError("bad magic")
        kind = cur.byte()
        if kind == 5:
            break
        if kind != 3:
            raise DecodeError(f"unexpected section {kind}")
        table_slice = []
        for _ in range(cur.count()):
            cur.section(4)
            type_id, values = _value_array(cur)
            column_slice = ColumnSlice(type_id, values, [False] * len(values))
            for _ in range(cur.count()):
                name = cur.text()
                _, prop = _value_array(cur)
                if name == "IsInvalid":
                    if len(prop) != len(values):
                        raise DecodeError("IsInvalid count differs from the value count")
                    column_slice.invalid = prop
                column_slice.properties[name] = prop
            table_slice.append(column_slice)
        if len(table_slice) != len(columns):
            raise DecodeError("table slice column count differs from the metadata")
        if len({len(c.values) for c in table_slice}) > 1:
            raise DecodeError("column slices of one table slice differ in length")
        slices.append(table_slice)
    if cur.pos != len(data):
        raise DecodeError(f"{len(data) - cur.pos} bytes after the end marker")
    return Table(version, metadata, columns, slices)


def _skip_value_array(cur: _Cursor) -> int:
    """Skips one value array without decoding its values; returns its value count."""
    encoding, type_id = cur.byte(), cur.byte()
    count = cur.count()
    if encoding == 3:
        cur.take((count + 7) // 8)
    elif encoding == 1 and type_id in (0x0A, 0x0C):
        cur.take(cur.count())
    elif encoding == 1 and type_id in FIXED_SIZES:
        cur.take(FIXED_SIZES[type_id] * count)
    else:
        raise DecodeError(f"cannot skim encoding {encoding} of type {type_id}")
    return count


def skim_rows_per_slice(data: bytes) -> list:
    """Rows of each table slice, found by skipping over values: fast on huge files."""
    cur = _Cursor(data)
    cur.section(1)
    cur.take(2)
    cur.section(2)
    for _ in range(cur.count()):
        cur.text()
        type_id = cur.byte()
        cur.byte()
        _unpacked_value(cur, type_id)
        if cur.byte() == 1:
            _unpacked_value(cur, type_id)
    column_count, descriptor_count = cur.count(), cur.count()
    types = []
    for _ in range(descriptor_count):
        cur.text()
        types.append(cur.byte())
        if cur.byte() == 1:
            _unpacked_value(cur, types[-1])
    for _ in range(column_count if descriptor_count else 0):
        for type_id in types:
            if cur.byte() == 1:
                _unpacked_value(cur, type_id)
    rows = []
    while True:
        if cur.take(2) != MAGIC:
            raise DecodeError("bad magic")
        if cur.byte() == 5:
            break
        counts = set()
        for _ in range(cur.count()):
            cur.section(4)
            counts.add(_skip_value_array(cur))
            for _ in range(cur.count()):
                cur.text()
                _skip_value_array(cur)
        if len(counts) != 1:
            raise DecodeError("column slices differ in length")
        rows.append(counts.pop())
    if cur.pos != len(data):
        raise DecodeError("bytes after the end marker")
    return rows
