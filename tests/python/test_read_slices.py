"""Reading slice by slice for Arrow: the same table as the joined read, one
chunk per table slice, the same errors, and arrays that outlive the table,
the bytes and the file they point into."""

import gc
import random

import pytest
from test_read import _corpus_files
from test_read_buffers import MIXED, _corpus_path, _same

import vrex
from vrex import _reader

pa = pytest.importorskip("pyarrow")


def _rows(times: int) -> bytes:
    """MIXED with its rows `times` over."""
    header, body = MIXED.split(b"\n", 1)
    return header + b"\n" + body * times


def _joined(data: bytes) -> vrex.Table:
    """The in-order read: a bytearray never goes slice by slice."""
    return vrex.Table(_reader.read(bytearray(data)))


def _same_tables(got, expected) -> bool:
    if got.schema != expected.schema:
        return False
    return all(
        _same(got.column(k).to_pylist(), expected.column(k).to_pylist())
        for k in range(got.num_columns)
    )


def test_corpus_files_read_slice_by_slice_as_joined():
    sliced_files = 0
    for path in _corpus_files(60):
        try:
            written = vrex.csv_to_vrex((_corpus_path() / path).read_bytes(), chunk_size=50)
        except ValueError:
            continue
        raw = _reader.read_sliced(written)
        table = vrex.Table(raw)
        arrow = table.to_arrow()
        assert _same_tables(arrow, _joined(written).to_arrow()), path
        if isinstance(raw, _reader.SlicedFile):
            sliced_files += 1
            assert [len(arrow.column(0).chunk(k)) for k in range(len(table.slice_rows))] == (
                table.slice_rows
            )
    assert sliced_files > 0


def _outcome(read, data):
    try:
        return vrex.Table(read(data)).to_arrow().to_pydict()
    except ValueError as error:
        return str(error)


def test_damaged_files_give_the_joined_read_or_its_error():
    whole = vrex.csv_to_vrex(_rows(40), chunk_size=7, sample_rows=1)
    assert isinstance(_reader.read_sliced(whole), _reader.SlicedFile)
    rng = random.Random(11)
    for trial in range(400):
        damaged = bytearray(whole)
        for _ in range(1 + trial % 3):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        if trial % 4 == 0:
            del damaged[rng.randrange(len(damaged)) :]
        expected = _outcome(_reader.read, bytes(damaged))
        assert _outcome(_reader.read_sliced, bytes(damaged)) == expected, trial


def test_chunks_outlive_table_bytes_and_file(tmp_path):
    data = vrex.csv_to_vrex(_rows(3), chunk_size=2, sample_rows=1)
    table = vrex.read(data)
    numbers = table.to_arrow().column("n").chunk(1)
    texts = table.to_arrow().column("word")
    del table, data
    gc.collect()
    assert numbers.to_pylist() == [3, 4]  # rows 2 and 3
    assert texts.num_chunks == 6 and texts.type == pa.string()
    assert texts.to_pylist()[:4] == ["a", None, "größe", "line\nbreak"]
    path = tmp_path / "t.vrex"
    path.write_bytes(vrex.csv_to_vrex(MIXED, chunk_size=3, sample_rows=1))
    arrow = vrex.read_file(path).to_arrow()
    path.unlink()
    gc.collect()
    assert arrow.column("x").to_pylist() == [1.5, 2.0, None, -0.0]


def test_pandas_polars_and_columns_match_the_joined_read():
    data = vrex.csv_to_vrex(_rows(5), chunk_size=3, sample_rows=1)
    sliced, joined = vrex.read(data), _joined(data)
    assert sliced.columns == joined.columns and sliced.dtypes == joined.dtypes
    assert repr(sliced) == repr(joined)
    pd = pytest.importorskip("pandas")
    pd.testing.assert_frame_equal(sliced.to_pandas(), joined.to_pandas())
    pytest.importorskip("polars")
    frame = sliced.to_polars()
    assert frame.n_chunks("all") == [len(sliced.slice_rows)] * len(sliced.columns)
    assert frame.equals(joined.to_polars())
    # The joined columns come on first use, from the same bytes.
    assert sliced["word"].to_list() == joined["word"].to_list()
    assert [c.name for c in sliced] == joined.columns and sliced.column(2).type == "Double"


def test_a_file_without_slices_gives_an_empty_table_with_its_columns():
    data = vrex.csv_to_vrex(b"a,b\n")
    table = vrex.read(data)
    arrow = table.to_arrow()
    assert arrow.num_rows == 0 and arrow.column_names == ["a", "b"]
    assert arrow.equals(_joined(data).to_arrow())


def test_the_stream_can_be_taken_many_times_and_through_the_capsule_protocol():
    raw = _reader.read_sliced(vrex.csv_to_vrex(MIXED, chunk_size=2, sample_rows=1))
    first = pa.RecordBatchReader._import_from_c_capsule(raw.arrow.__arrow_c_stream__()).read_all()
    assert first.column_names == [str(k) for k in range(5)]
    if hasattr(pa.RecordBatchReader, "from_stream"):  # the capsule protocol, pyarrow 15 on
        assert pa.RecordBatchReader.from_stream(raw.arrow).read_all().equals(first)
    raw.arrow.__arrow_c_stream__()  # a capsule nobody takes is freed with its stream
    with pytest.raises(TypeError):
        _reader.read_joined(b"not a source")
