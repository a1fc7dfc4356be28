"""Reading on several threads: the same buffers, or the same error, as the
read on one thread, and clear errors for a bad thread count. Files under a
MiB are read on the calling thread whatever the count, so the files here are
larger; the C++ tests and the fuzz target read small files apart as well."""

import random

import pytest

import vrex
from vrex import _reader


def _buffers(raw_file):
    """Every byte the reader hands over, column by column."""
    columns = []
    for column in raw_file.columns:
        values = column.values
        offsets = None if values.offsets is None else bytes(values.offsets)
        validity = None if column.validity is None else bytes(column.validity)
        columns.append(
            (
                column.name,
                values.type,
                bytes(values.data),
                offsets,
                bytes(column.is_invalid),
                validity,
                column.invalid_count,
                [(p.name, bytes(p.values.data), bytes(p.present)) for p in column.value_properties],
            )
        )
    return raw_file.slice_rows, raw_file.num_rows, columns


def _outcome(data, threads):
    try:
        return _buffers(_reader.read(data, threads=threads))
    except ValueError as error:
        return str(error)


def _large_file():
    """Over a MiB, with texts, numbers, flags and invalid cells: read apart."""
    rng = random.Random(5)
    words = ["alpha", "béta", "", "a longer text of some forty bytes or so...", "x"]
    rows = [b"n,word,x,flag,when"]
    for index in range(40_000):
        number = str(index) if index % 97 else "oops"
        flag = rng.choice(["true", "false", "", "maybe"])
        when = "2024-01-%02d" % (1 + index % 28) if index % 53 else "soon"
        rows.append(f"{number},{rng.choice(words)},{rng.random():.6f},{flag},{when}".encode())
    written = vrex.csv_to_vrex(b"\n".join(rows) + b"\n", chunk_size=3000)
    assert len(written) > 1 << 20
    return written


def test_large_files_read_the_same_on_every_thread_count():
    written = _large_file()
    one = _outcome(written, 1)
    assert one[1] == 40_000 and any(column[6] for column in one[2])
    for threads in (2, 3, 8):
        assert _outcome(written, threads) == one, threads


def test_damaged_large_files_give_the_same_error_on_every_thread_count():
    whole = _large_file()
    rng = random.Random(8)
    for trial in range(60):
        damaged = bytearray(whole)
        for _ in range(1 + trial % 3):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        assert _outcome(bytes(damaged), 3) == _outcome(bytes(damaged), 1), trial


def test_file_paths_and_changeable_buffers_read_like_bytes(tmp_path):
    written = _large_file()
    path = tmp_path / "t.vrex"
    path.write_bytes(written)
    one = _buffers(_reader.read(written, threads=1))
    assert _buffers(_reader.read_file(path, threads=4)) == one
    # A bytearray could change while other threads read it: read on one.
    assert _buffers(_reader.read(bytearray(written), threads=4)) == one
    assert vrex.read_file(path, threads=None).to_arrow().equals(vrex.read(written).to_arrow())


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda data: vrex.read(data, threads=0), ValueError, "threads must be at least 1"),
        (lambda data: vrex.read(data, threads=True), TypeError, "not bool"),
        (lambda data: vrex.read(data, threads="2"), TypeError, "not str"),
        (lambda data: _reader.read(data, threads=-1), ValueError, "threads must be at least 1"),
        (lambda data: _reader.read(data, threads=2**70), OverflowError, "too large"),
        (lambda data: _reader.read(data, 2), TypeError, "positional"),
        (lambda data: _reader.read(data, thread=2), TypeError, "thread"),
    ],
)
def test_bad_thread_counts_are_refused(call, error, message):
    data = vrex.csv_to_vrex(b"a\n1\n")
    with pytest.raises(error, match=message):
        call(data)


def test_far_more_threads_than_columns_or_cores_still_read():
    data = vrex.csv_to_vrex(b"a,b\n1,2\n", chunk_size=1)
    assert vrex.read(data, threads=100_000).to_arrow().to_pydict() == {"a": [1], "b": [2]}
