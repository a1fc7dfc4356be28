"""Read-back through buffers: Arrow, pandas and polars built from the reader's
blocks agree with an independent decoder, `read_file` with `read`, and text
values stay packed until asked for."""

import gc
import os
import struct
import subprocess
import sys
import textwrap

import pytest
from test_read import HAND_WRITTEN, _corpus_files, _file

import vrex
from vrex import _reader
from vrex_decode import TYPE_NAMES, decode

pa = pytest.importorskip("pyarrow")

MIXED = (
    "n,word,x,flag,when\n"
    "1,a,1.5,true,2024-01-02\n"
    "-2,,2,,bad\n"
    "3,größe,oops,FALSE,2024-02-03\n"
    '4,"line\nbreak",-0.0,true,\n'
).encode()


def _expected_column(decoded, index):
    values, invalid = decoded.column(index)
    type_id = decoded.slices[0][index].type_id if decoded.slices else None
    if type_id == 0x01:
        values = [bool(value) for value in values]
    return [None if flag else value for value, flag in zip(values, invalid, strict=True)]


def _same(got, expected):
    if len(got) != len(expected):
        return False
    for left, right in zip(got, expected, strict=True):
        if isinstance(left, float) and isinstance(right, float):
            if struct.pack("<d", left) != struct.pack("<d", right):
                return False
        elif left != right:
            return False
    return True


def test_arrow_tables_match_the_independent_decoder_on_the_corpus(tmp_path):
    checked = 0
    for path in _corpus_files(60):
        data = (_corpus_path() / path).read_bytes()
        try:
            written = vrex.csv_to_vrex(data, chunk_size=100)
        except ValueError:
            continue
        decoded = decode(written)
        arrow = vrex.read(written).to_arrow()
        for index in range(len(decoded.columns)):
            got = arrow.column(index).to_pylist()
            assert _same(got, _expected_column(decoded, index)), (path, index)
        stored = tmp_path / "file.vrex"
        stored.write_bytes(written)
        from_file = vrex.read_file(stored).to_arrow()
        assert from_file.schema == arrow.schema, path
        for index in range(arrow.num_columns):  # NaN never equals itself: compare lists
            assert _same(from_file.column(index).to_pylist(), arrow.column(index).to_pylist())
        checked += 1
    assert checked > 0


def _corpus_path():
    from test_read import CORPUS

    return CORPUS


def test_texts_cross_as_one_block_with_offsets():
    raw = _reader.read(vrex.csv_to_vrex(MIXED, sample_rows=1))
    word = raw.columns[1]
    assert word.values.type == vrex.ValueType.String
    offsets = list(memoryview(word.values.offsets).cast("q"))
    block = bytes(memoryview(word.values.data))
    texts = ["a", "", "größe", "line\nbreak"]
    assert block == "".join(texts).encode()
    assert offsets == [0, 1, 1, 1 + len("größe".encode()), len(block)]
    assert word.invalid_count == 1
    # The validity bitmap holds bit i (from 0x01 up) for each valid row.
    assert bytes(memoryview(word.validity)) == bytes([0b1101])
    assert raw.columns[0].validity is None  # no invalid rows: no bitmap


@pytest.mark.parametrize("rows", [0, 1, 7, 8, 9, 16, 17, 1000])
def test_bool_and_validity_bits_round_trip_at_every_length(rows):
    cells = [("true" if k % 3 else "false") if k % 5 != 4 else "maybe" for k in range(rows)]
    data = "b,i\n" + "".join(f"{cell},{k if k % 4 != 3 else 'x'}\n" for k, cell in enumerate(cells))
    table = vrex.read(vrex.csv_to_vrex(data.encode(), sample_rows=1))
    if rows == 0:
        assert table.num_rows == 0 and table.to_arrow().num_rows == 0
        return
    expected = [None if c == "maybe" else c == "true" for c in cells]
    arrow = table.to_arrow()
    assert arrow.column("b").to_pylist() == table["b"].to_list() == expected
    assert arrow.column("i").to_pylist() == table["i"].to_list()
    assert arrow.column("b").null_count == cells.count("maybe")


def test_every_value_type_reaches_arrow_pandas_and_polars():
    decimal = bytes(range(16))
    columns = [("t", 0x0A), ("bin", 0x0C), ("dec", 0x0D), ("f", 0x04), ("d", 0x07)]
    arrays = [
        b"\x01\x0a" + struct.pack("<ii", 3, 6) + b"\x00\x03h\xc3\xa9\x00",
        b"\x01\x0c" + struct.pack("<ii", 3, 5) + b"\x02\x00\xff\x00\x00",
        b"\x01\x0d" + struct.pack("<i", 3) + decimal * 3,
        b"\x01\x04" + struct.pack("<ifff", 3, 1.5, -2.0, 0.25),
        b"\x02\x07" + struct.pack("<ii", 3, 1) + b"\x02" + struct.pack("<iq", 1, -5),
    ]
    table = vrex.read(_file(struct.pack("<i", 0), columns, arrays))
    arrow = table.to_arrow()
    assert [str(t) for t in arrow.schema.types] == [
        "string",
        "binary",
        "fixed_size_binary[16]",
        "float",
        "int64",
    ]
    expected = {
        "t": ["", "hé", ""],
        "bin": [b"\x00\xff", b"", b""],
        "dec": [decimal] * 3,
        "f": [1.5, -2.0, 0.25],
        "d": [-5, -5, -5],
    }
    assert arrow.to_pydict() == expected
    assert {name: table[name].to_list() for name in expected} == expected
    frame = table.to_pandas()
    assert {name: frame[name].tolist() for name in expected} == expected
    pl = pytest.importorskip("polars")
    polars_frame = table.to_polars()
    assert isinstance(polars_frame, pl.DataFrame)
    assert polars_frame.to_dict(as_series=False) == expected


def test_pandas_through_arrow_and_through_numpy_agree(monkeypatch):
    pd = pytest.importorskip("pandas")
    table = vrex.read(vrex.csv_to_vrex(MIXED, sample_rows=1))
    through_arrow = table.to_pandas()
    with monkeypatch.context() as without_arrow:
        without_arrow.setitem(sys.modules, "pyarrow", None)
        through_numpy = table.to_pandas()
    assert list(through_arrow.dtypes.astype(str)) == list(through_numpy.dtypes.astype(str))
    pd.testing.assert_frame_equal(through_arrow, through_numpy, check_dtype=False)
    assert through_arrow["word"].isna().tolist() == [False, True, False, False]


def test_duplicate_column_names_survive_every_export():
    table = vrex.read(vrex.csv_to_vrex(b"a,a,b\n1,x,2\n"))
    assert table.to_arrow().column_names == ["a", "a", "b"]
    assert list(table.to_pandas().columns) == ["a", "a", "b"]


@pytest.mark.parametrize("with_arrow", [True, False])
def test_packed_text_values_index_slice_and_list(monkeypatch, with_arrow):
    table = vrex.read(vrex.csv_to_vrex(MIXED, sample_rows=1))
    if not with_arrow:
        monkeypatch.setitem(sys.modules, "pyarrow", None)
    values = table["word"].values
    everything = ["a", "", "größe", "line\nbreak"]
    assert len(values) == 4 and values.tolist() == everything and list(values) == everything
    assert values[2] == "größe" and values[-1] == "line\nbreak"
    assert values[1:3].tolist() == ["", "größe"] and values[1:3][1] == "größe"
    assert values[::2] == ["a", "größe"]
    assert values[5:].tolist() == [] and len(values[3:1]) == 0
    with pytest.raises(IndexError):
        values[4]
    with pytest.raises(IndexError):
        values[-5]
    assert table["word"].to_list() == ["a", None, "größe", "line\nbreak"]


def test_read_file_reads_what_read_reads(tmp_path):
    written = vrex.csv_to_vrex(MIXED, sample_rows=1, chunk_size=2)
    path = tmp_path / "mixed.vrex"
    path.write_bytes(written)
    for source in (path, str(path), os.fsencode(path)):
        from_file = vrex.read_file(source)
        assert from_file.slice_rows == [2, 2]
        assert from_file.to_arrow().equals(vrex.read(written).to_arrow())


@pytest.mark.parametrize(
    "contents, error, message",
    [
        (None, FileNotFoundError, "No such file"),
        ("dir", IsADirectoryError, "Is a directory"),
        (b"", ValueError, "VREX read error: invalid size"),
        (HAND_WRITTEN[:-1], ValueError, "VREX read error: invalid size"),
        (b"\xa7\x3c\x01\x02\x00", ValueError, "VREX read error: unsupported version 2.0"),
    ],
)
def test_read_file_errors(tmp_path, contents, error, message):
    path = tmp_path / "file.vrex"
    if contents == "dir":
        path.mkdir()
    elif contents is not None:
        path.write_bytes(contents)
    with pytest.raises(error, match=message) as raised:
        vrex.read_file(path)
    if isinstance(raised.value, OSError):
        assert raised.value.filename == path


def test_read_file_refuses_what_is_not_a_path():
    with pytest.raises(TypeError):
        vrex.read_file(3)
    with pytest.raises(ValueError):
        vrex.read_file("nul\0byte")


def test_arrow_arrays_outlive_table_and_file(tmp_path):
    path = tmp_path / "file.vrex"
    path.write_bytes(vrex.csv_to_vrex(MIXED, sample_rows=1))
    arrow = vrex.read_file(path).to_arrow()
    path.unlink()
    gc.collect()
    assert arrow.column("word").to_pylist() == ["a", None, "größe", "line\nbreak"]
    assert arrow.column("x").to_pylist() == [1.5, 2.0, None, -0.0]


def test_value_types_share_the_file_numbering():
    assert {int(t): t.name for t in vrex.ValueType} == TYPE_NAMES
    assert {name: id for id, name in TYPE_NAMES.items()} == _reader.VALUE_TYPES
    table = vrex.read(HAND_WRITTEN)
    assert table["a"].type_id is vrex.ValueType.Double and table["a"].type == "Double"


def test_reader_structures_are_named():
    raw = _reader.read(HAND_WRITTEN)
    assert isinstance(raw, _reader.File) and raw.num_rows == 3 and raw.version == (1, 0)
    column = raw.columns[0]
    assert isinstance(column, _reader.Column) and column.name == "a"
    assert isinstance(column.values, _reader.Values) and column.values.offsets is None


PANIC_PROBE = textwrap.dedent("""
    from vrex import _reader
    try:
        _reader.read(b"")
    except Exception:
        print("caught as Exception")
    except BaseException as error:
        print(type(error).__name__, type(error) is _reader.PanicException, error.args)
""")


@pytest.mark.skipif(not os.environ.get("VREX_FAULT_BUILD_DIR"), reason="no fault-injection build")
def test_reader_fault_becomes_panic_exception():
    env = dict(os.environ, PYTHONPATH=os.environ["VREX_FAULT_BUILD_DIR"], VREX_INJECT_FAULT="1")
    result = subprocess.run(
        [sys.executable, "-c", PANIC_PROBE], env=env, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ("PanicException True ('injected fault: index out of range',)")


@pytest.mark.parametrize("chunk_size", [1, 3, 64])
def test_texts_of_every_short_length_read_back_whole(chunk_size):
    # Lengths around the fixed-size copies, at the start, middle and end of blocks.
    texts = ["é" * (k // 2) + "x" * (k % 2) for k in range(70)] + ["y" * 33, "z" * 15]
    data = ("t\n" + "".join(f"{t}\n" if t else '""\n' for t in texts)).encode()
    table = vrex.read(vrex.csv_to_vrex(data, chunk_size=chunk_size))
    expected = [t if t else None for t in texts]
    assert table["t"].to_list() == expected
    assert table.to_arrow().column("t").to_pylist() == expected
