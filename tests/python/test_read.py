"""Files read back through vrex.read: values, flags, chunking, errors, interop."""

import csv
import gc
import random
import struct
import sys
from pathlib import Path

import pytest

import vrex
from vrex_decode import decode

CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus"

# One Double column "a" holding 1.5, 0.0 (flagged invalid) and 2.0, by hand.
HAND_WRITTEN = bytes.fromhex(
    "a73c01 0100 a73c02 00000000 01000000 02000000"
    "04000000" + b"Name".hex() + "0a 00 08000000" + b"DataType".hex() + "0c 00"
    "01 01000000 61 01 01000000 05"
    "a73c03 01000000 a73c04 01 05 03000000"
    + struct.pack("<3d", 1.5, 0.0, 2.0).hex()
    + "01000000 09000000"
    + b"IsInvalid".hex()
    + "03 01 03000000 40"
    "a73c05"
)


def test_hand_written_file():
    table = vrex.read(HAND_WRITTEN)
    assert table.version == (1, 0)
    assert table.columns == ["a"] and len(table) == 3 and table.num_rows == 3
    column = table["a"]
    assert column.type == "Double"
    assert list(column.values) == [1.5, 0.0, 2.0]
    assert list(column.is_invalid) == [False, True, False]
    assert column.to_list() == [1.5, None, 2.0]


def test_round_trip_of_a_conversion():
    data = "n,word,x,flag\n1,a,1.5,true\n-2,,2,\n3,größe,oops,FALSE\n".encode()
    table = vrex.read(vrex.csv_to_vrex(data, chunk_size=2, sample_rows=1))
    assert table.slice_rows == [2, 1]
    assert table.metadata == {"TableColumns": 4}
    assert table.dtypes == {"n": "Int", "word": "String", "x": "Double", "flag": "Bool"}
    assert table["n"].to_list() == [1, -2, 3]
    assert table["word"].to_list() == ["a", None, "größe"]
    assert table["x"].to_list() == [1.5, 2.0, None]
    assert table["flag"].to_list() == [True, None, False]
    assert table[0] is table["n"]
    assert "4 columns" in repr(table) and "n: Int" in repr(table)


@pytest.mark.parametrize("chunk_size", [1, 3, 7, 10000])
def test_slices_follow_the_chunk_size(chunk_size):
    rows = 20
    data = ("a,b\n" + "".join(f"{k},t{k}\n" for k in range(rows))).encode()
    table = vrex.read(vrex.csv_to_vrex(data, chunk_size=chunk_size))
    expected = [chunk_size] * (rows // chunk_size) + (
        [rows % chunk_size] if rows % chunk_size else []
    )
    assert table.slice_rows == expected
    assert table["a"].to_list() == list(range(rows))
    assert table["b"].to_list() == [f"t{k}" for k in range(rows)]


def _text(value: bytes) -> bytes:
    return struct.pack("<i", len(value)) + value


def _file(metadata: bytes, columns, arrays) -> bytes:
    """A file of one table slice: `columns` are (name, type id), `arrays` their value arrays."""
    body = b"\xa7\x3c\x01\x01\x00\xa7\x3c\x02" + metadata
    body += struct.pack("<ii", len(columns), 2) + _text(b"Name") + b"\x0a\x00"
    body += _text(b"DataType") + b"\x0c\x00"
    for name, type_id in columns:
        body += b"\x01" + _text(name.encode()) + b"\x01" + _text(bytes([type_id]))
    body += b"\xa7\x3c\x03" + struct.pack("<i", len(arrays))
    for array in arrays:
        body += b"\xa7\x3c\x04" + array + struct.pack("<i", 0)
    return body + b"\xa7\x3c\x05"


def test_every_value_type_reaches_python():
    decimal = bytes(range(16))
    metadata = struct.pack("<i", 4)
    metadata += _text(b"Rate") + b"\x05\x01" + struct.pack("<d", 0.25) + b"\x00"
    metadata += _text(b"On") + b"\x01\x01\x01\x01\x00"
    metadata += _text(b"Blob") + b"\x0c\x01" + _text(b"\x00\xff") + b"\x00"
    metadata += _text(b"When") + b"\x06\x00\x00"  # declared without a value
    columns = [("l", 0x03), ("f", 0x04), ("t", 0x06), ("bin", 0x0C), ("dec", 0x0D), ("b", 0x01)]
    arrays = [
        b"\x01\x03" + struct.pack("<iqq", 2, -(2**40), 7),
        b"\x01\x04" + struct.pack("<iff", 2, 1.5, -2.0),
        b"\x02\x06" + struct.pack("<ii", 2, 1) + b"\x01" + struct.pack("<iq", 1, 99),
        b"\x01\x0c" + struct.pack("<ii", 2, 4) + b"\x02\x00\xff\x00",
        b"\x01\x0d" + struct.pack("<i", 2) + decimal + decimal[::-1],
        b"\x03\x01" + struct.pack("<i", 2) + b"\x80",
    ]
    table = vrex.read(_file(metadata, columns, arrays))
    assert table.metadata == {"Rate": 0.25, "On": True, "Blob": b"\x00\xff", "When": None}
    assert table.dtypes == {
        "l": "Long",
        "f": "Float",
        "t": "DateTime",
        "bin": "Binary",
        "dec": "Decimal",
        "b": "Bool",
    }
    assert table["l"].to_list() == [-(2**40), 7]
    assert table["f"].to_list() == [1.5, -2.0]
    assert table["t"].to_list() == [99, 99]
    assert table["bin"].to_list() == [b"\x00\xff", b""]
    assert table["dec"].to_list() == [decimal, decimal[::-1]]
    assert table["b"].to_list() == [True, False]
    pytest.importorskip("pyarrow")
    arrow = table.to_arrow()
    assert arrow.column("dec").to_pylist() == [decimal, decimal[::-1]]
    assert arrow.column("t").to_pylist() == [99, 99]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "VREX read error: invalid size"),
        (b"\xa7\x3d\x01\x01\x00", "VREX read error: magic number mismatch"),
        (b"\xa7\x3c\x01\x02\x00", "VREX read error: unsupported version 2.0"),
        (b"\xa7\x3c\xc8", "VREX read error: invalid section id 200"),
        (HAND_WRITTEN[:-1], "VREX read error: invalid size"),
        (HAND_WRITTEN + b"\x00", "VREX read error: invalid size"),
        (
            HAND_WRITTEN[: HAND_WRITTEN.index(b"\xa7\x3c\x03")] + b"\xa7\x3c\x04",
            "VREX read error: wrong section id, expected TableSlice, got ColumnSlice",
        ),
    ],
)
def test_damaged_files_raise_value_error(data, message):
    with pytest.raises(ValueError) as raised:
        vrex.read(data)
    assert str(raised.value) == message


def test_every_truncation_and_random_damage_is_an_error_not_a_crash():
    whole = vrex.csv_to_vrex(b"a,b,c\n1,x,true\n2,,false\n3.5,z,\n", chunk_size=2)
    for size in range(len(whole)):
        with pytest.raises(ValueError):
            vrex.read(whole[:size])
    rng = random.Random(1234)
    for _ in range(2000):
        damaged = bytearray(whole)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            vrex.read(bytes(damaged))
        except ValueError:
            pass


def test_any_contiguous_buffer_is_accepted_and_other_objects_are_not():
    assert vrex.read(bytearray(HAND_WRITTEN)).num_rows == 3
    assert vrex.read(memoryview(HAND_WRITTEN)).num_rows == 3
    with pytest.raises(TypeError):
        vrex.read("not bytes")


def test_numeric_columns_are_numpy_views_without_objects_per_cell():
    np = pytest.importorskip("numpy")
    table = vrex.read(vrex.csv_to_vrex(b"i,l,d\n1,5000000000,0.5\n2,1,x\n", sample_rows=1))
    assert table["i"].values.dtype == np.int32
    assert table["l"].values.dtype == np.int64
    assert table["d"].values.dtype == np.float64
    assert table["d"].is_invalid.dtype == np.bool_
    assert not table["i"].values.flags.writeable  # a view of the read buffer


def test_to_pandas_marks_invalid_cells_missing():
    pd = pytest.importorskip("pandas")
    table = vrex.read(
        vrex.csv_to_vrex(b"i,d,s,b\n1,0.5,a,true\nx,y,,maybe\n3,2,c,false\n", sample_rows=1)
    )
    frame = table.to_pandas()
    assert list(frame.columns) == ["i", "d", "s", "b"]
    assert str(frame["i"].dtype) == "Int32" and str(frame["b"].dtype) == "boolean"
    assert frame["i"].isna().tolist() == [False, True, False]
    assert frame["d"].isna().tolist() == [False, True, False]
    assert frame["s"].isna().tolist() == [False, True, False]
    assert frame["b"].isna().tolist() == [False, True, False]
    assert frame["i"].iloc[2] == 3 and frame["d"].iloc[2] == 2.0
    assert isinstance(frame, pd.DataFrame)


def test_to_arrow_marks_invalid_cells_null():
    pa = pytest.importorskip("pyarrow")
    table = vrex.read(vrex.csv_to_vrex(b"i,d,s\n1,0.5,a\nx,y,\n", sample_rows=1))
    arrow = table.to_arrow()
    assert arrow.schema.field("i").type == pa.int32()
    assert arrow.schema.field("d").type == pa.float64()
    assert arrow.schema.field("s").type == pa.string()
    assert arrow.column("i").to_pylist() == [1, None]
    assert arrow.column("d").to_pylist() == [0.5, None]
    assert arrow.column("s").to_pylist() == ["a", None]


def _corpus_files(limit):
    manifest = CORPUS / "MANIFEST.tsv"
    if not manifest.exists():
        pytest.skip("the CSV corpus is not present")
    with manifest.open(newline="") as handle:
        paths = [row["path"] for row in csv.DictReader(handle, delimiter="\t")]
    return paths[:: max(1, len(paths) // limit)]


def test_corpus_files_read_back_like_the_independent_decoder():
    checked = 0
    for path in _corpus_files(120):
        data = (CORPUS / path).read_bytes()
        try:
            written = vrex.csv_to_vrex(data, chunk_size=100)
        except ValueError:
            continue  # not UTF-8: nothing to read back
        table = vrex.read(written)
        expected = decode(written)
        assert table.slice_rows == expected.rows_per_slice, path
        assert table.columns == [name for name, _ in expected.columns], path
        for index in range(len(expected.columns)):
            values, invalid = expected.column(index)
            column = table[index]
            assert list(column.is_invalid) == [bool(flag) for flag in invalid], path
            got = column.values.tolist() if hasattr(column.values, "tolist") else column.values
            if column.type == "Bool":
                values = [bool(value) for value in values]
            assert _same(got, values), (path, column.name)
        checked += 1
    assert checked > 0


def _same(got, expected):
    # NaN reads back as NaN; compare floats by their bits.
    if len(got) != len(expected):
        return False
    for left, right in zip(got, expected, strict=True):
        if isinstance(left, float) and isinstance(right, float):
            if struct.pack("<d", left) != struct.pack("<d", right):
                return False
        elif left != right:
            return False
    return True


def test_reading_is_repeatable_without_leaking_references():
    data = vrex.csv_to_vrex(b"a,b\n1,x\n2,y\n")
    before = sys.getrefcount(data)
    for _ in range(100):
        vrex.read(data)
    assert sys.getrefcount(data) == before


def test_views_outlive_the_table():
    data = vrex.csv_to_vrex(b"a,b\n1,0.5\n2,1.5\n")
    values = vrex.read(data)["b"].values
    gc.collect()
    assert list(values) == [0.5, 1.5]
    assert bytes(memoryview(vrex._reader.read(data).columns[0].values.data)) == struct.pack(
        "<2i", 1, 2
    )


def test_without_numpy_columns_are_typed_memoryviews(monkeypatch):
    from vrex import _table

    monkeypatch.setattr(_table, "_numpy", lambda: None)
    table = vrex.read(vrex.csv_to_vrex(b"i,d,b\n1,0.5,true\nx,2,false\n", sample_rows=1))
    assert isinstance(table["i"].values, memoryview)
    assert table["i"].values.format == "i" and table["d"].values.format == "d"
    assert table["i"].to_list() == [1, None]
    assert table["d"].to_list() == [0.5, 2.0]
    assert table["b"].to_list() == [True, False]
    assert list(table["i"].is_invalid) == [False, True]
