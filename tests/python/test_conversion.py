"""Whole conversions through the module: bytes, chunking, error texts."""

import gc
import struct
import threading

import pytest

from _vrex import csv_to_vrex
from vrex_decode import decode

# fmt: off
EXPECTED_162 = bytes.fromhex(
    # FileHeader, version 1.0
    "a73c01 0100"
    # TableMetadata: one entry "TableColumns" = Int 2, no default
    "a73c02 01000000 0c000000" + b"TableColumns".hex() + "02 01 02000000 00"
    # two columns, two descriptors: "Name" String, "DataType" Binary
    "02000000 02000000 04000000" + b"Name".hex() + "0a 00 08000000" + b"DataType".hex() + "0c 00"
    # column x (Int), column y (String)
    "01 01000000 78 01 01000000 02"
    "01 01000000 79 01 01000000 0a"
    # TableSlice with two column slices
    "a73c03 02000000"
    "a73c04 01 02 02000000 01000000 02000000 00000000"
    "a73c04 01 0a 02000000 03000000 0161 00 01000000 09000000" + b"IsInvalid".hex() +
    "03 01 02000000 40"
    # TableEnd
    "a73c05"
)
# fmt: on


def test_complete_small_file_byte_for_byte():
    assert len(EXPECTED_162) == 162
    assert csv_to_vrex(b"x,y\n1,a\n2,\n") == EXPECTED_162


def csv_of(rows: int, header: str = "n,word") -> bytes:
    return (header + "\n" + "".join(f"{i},w{i}\n" for i in range(rows))).encode()


CHUNKING = [
    # rows, chunk_size, sample_rows, expected rows per slice
    (2500, 1000, 1000, [1000, 1000, 500]),
    (2000, 1000, 1000, [1000, 1000]),
    (4200, 1000, 5000, [1000, 1000, 1000, 1000, 200]),
    (7, 3, 0, [3, 3, 1]),
    (5, 1, 1000, [1, 1, 1, 1, 1]),
    (10, 3, 8, [3, 3, 3, 1]),
    (0, 10, 10, []),
    (1, 10000, 1000, [1]),
]


@pytest.mark.parametrize("rows,chunk_size,sample_rows,expected", CHUNKING)
def test_chunking(rows, chunk_size, sample_rows, expected):
    table = decode(csv_to_vrex(csv_of(rows), chunk_size, sample_rows))
    assert table.rows_per_slice == expected
    values, invalid = table.column(0)
    assert len(values) == rows
    if sample_rows == 0 and rows:
        assert table.columns[0] == ("n", 0x0A)  # typed from an empty sample: String
        assert values == [str(i) for i in range(rows)]
    elif rows:
        assert table.columns[0] == ("n", 0x02)
        assert values == list(range(rows)) and not any(invalid)


def test_sample_larger_than_the_input_equals_sample_of_all_rows():
    data = csv_of(50)
    assert csv_to_vrex(data, 7, 50) == csv_to_vrex(data, 7, 10**9)


def test_types_come_from_the_sample_only():
    data = b"n\n" + b"".join(b"%d\n" % i for i in range(1000)) + b"word\n"
    table = decode(csv_to_vrex(data))
    assert table.columns == [("n", 0x02)]
    values, invalid = table.column(0)
    assert values[-1] == 0 and invalid[-1] and not any(invalid[:-1])


def test_empty_input_and_header_only():
    empty = decode(csv_to_vrex(b""))
    assert empty.metadata == {"TableColumns": 0} and empty.columns == [] and empty.slices == []
    for data in (b"\n\r\n\n", b"\xef\xbb\xbf"):
        assert csv_to_vrex(data) == csv_to_vrex(b"")
    header_only = decode(csv_to_vrex(b"a,b,a,\n"))
    assert header_only.columns == [("a", 0x0A), ("b", 0x0A), ("a", 0x0A), ("", 0x0A)]
    assert header_only.slices == []


def test_ragged_rows_are_padded_and_cut():
    table = decode(csv_to_vrex(b"a,b\n1,2,3\n4\n"))
    assert table.column(0) == ([1, 4], [False, False])
    assert table.column(1) == ([2, 0], [False, True])


def test_mixed_types_and_invalid_cells():
    data = (b"b,i,l,d,s\n"
            b"true,1,2147483648,1.5,x\n"
            b" FALSE ,-2,-1,-inf,\n"
            b",,,nan,  \n")  # fmt: skip
    table = decode(csv_to_vrex(data))
    assert [t for _, t in table.columns] == [0x01, 0x02, 0x03, 0x05, 0x0A]
    assert table.column(0) == ([1, 0, 0], [False, False, True])
    assert table.column(1) == ([1, -2, 0], [False, False, True])
    assert table.column(2) == ([2147483648, -1, 0], [False, False, True])
    doubles, flags = table.column(3)
    assert doubles[0] == 1.5 and doubles[1] == float("-inf") and not any(flags)
    assert struct.pack("<d", doubles[2]) == struct.pack("<Q", 0x7FF8000000000000)
    assert table.column(4) == (["x", "", "  "], [False, True, False])


CSV_ERRORS = [
    (
        b"name,city\nAnn,Z\xfcrich\n",
        "CSV parse error: CSV parse error: record 1 (line 2, field: 1, byte: 10): "
        "invalid utf-8: invalid UTF-8 in field 1 near byte index 1",
    ),
    (
        b"name,city\r\nAnn,Z\xfcrich\r\n",
        "CSV parse error: CSV parse error: record 1 (line 1, field: 1, byte: 10): "
        "invalid utf-8: invalid UTF-8 in field 1 near byte index 1",
    ),
    (
        b"\xef\xbb\xbfname,city\nAnn,Z\xfcrich\n",
        "CSV parse error: CSV parse error: record 1 (line 2, field: 1, byte: 13): "
        "invalid utf-8: invalid UTF-8 in field 1 near byte index 1",
    ),
    (
        b"name,city\n\n\nAnn,Z\xfcrich\n",
        "CSV parse error: CSV parse error: record 1 (line 2, field: 1, byte: 10): "
        "invalid utf-8: invalid UTF-8 in field 1 near byte index 1",
    ),
    (
        b"a,\xffb\n1,2\n",
        "CSV header error: CSV parse error: record 0 (line 1, field: 1, byte: 0): "
        "invalid utf-8: invalid UTF-8 in field 1 near byte index 0",
    ),
]


@pytest.mark.parametrize("data,message", CSV_ERRORS)
def test_csv_errors_carry_the_exact_text(data, message):
    with pytest.raises(ValueError) as caught:
        csv_to_vrex(data)
    assert caught.value.args == (message,)


def test_error_after_complete_chunks_returns_nothing():
    data = csv_of(3500) + b"1,bad\xc3\n"
    with pytest.raises(ValueError) as caught:
        csv_to_vrex(data, chunk_size=1000, sample_rows=10)
    assert caught.value.args[0].startswith("CSV parse error: CSV parse error: record 3501 ")


def test_sampled_error_is_reported_even_with_a_small_chunk():
    data = csv_of(20) + b"\xff\n"
    with pytest.raises(ValueError, match="record 21 "):
        csv_to_vrex(data, 1, 1000)


def test_input_is_not_changed_and_references_are_not_leaked():
    data = csv_of(300)
    before = bytes(data)
    import sys

    refs = sys.getrefcount(data)
    for _ in range(300):
        csv_to_vrex(data, 64)
        with pytest.raises(ValueError):
            csv_to_vrex(data + b"\xff")
    assert data == before
    assert sys.getrefcount(data) == refs


@pytest.mark.skipif(
    "libasan" in __import__("os").environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's quarantine holds freed memory on purpose",
)
def test_no_memory_growth_over_many_calls():
    resource = pytest.importorskip("resource")
    data = csv_of(20000)
    for _ in range(20):
        csv_to_vrex(data)
    gc.collect()
    start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(200):
        csv_to_vrex(data, 500)
    gc.collect()
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start
    assert grown_kib < 32 * 1024


def test_threads_get_correct_results():
    inputs = [csv_of(2000 + 37 * k, header=f"n,w{k}") for k in range(8)]
    expected = [csv_to_vrex(data, 300) for data in inputs]
    results = [None] * len(inputs)

    def work(index):
        for _ in range(5):
            results[index] = csv_to_vrex(inputs[index], 300)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected


@pytest.mark.parametrize("chunk_size", [1, 3, 64, 499, 500])
def test_unescaped_fields_survive_a_long_queue(chunk_size):
    # Fields with doubled quotes are copied out of the reader while a long
    # sample drains in small chunks; every slicing must give the same values.
    rows = [(f'"x""{i}"', f'"plain, {i}"') for i in range(500)]
    data = ("a,b\n" + "".join(f"{a},{b}\n" for a, b in rows)).encode()
    table = decode(csv_to_vrex(data, chunk_size, 500))
    assert table.column(0)[0] == [f'x"{i}' for i in range(500)]
    assert table.column(1)[0] == [f"plain, {i}" for i in range(500)]
