"""vrex.convert and vrex.convert_file against the one-thread conversion:
the same bytes, or the same ValueError text, whatever the threads and parts."""

import mmap
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
from test_conversion import CSV_ERRORS

import vrex
from _vrex import csv_to_vrex
from vrex.conversion import write_atomically

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus"
THREADS = [1, 2, 4]
PART_SIZES = [1, 64, None]


def outcome(call, *args, **kwargs):
    try:
        return ("ok", call(*args, **kwargs))
    except ValueError as error:
        return ("error", error.args)


def assert_same_everywhere(data, chunk_size=10000, sample_rows=1000, part_sizes=PART_SIZES):
    expected = outcome(csv_to_vrex, data, chunk_size, sample_rows)
    for threads in THREADS:
        for part_size in part_sizes:
            got = outcome(
                vrex.convert, data, chunk_size, sample_rows, threads=threads, part_size=part_size
            )
            assert got == expected, (threads, part_size, data[:200])


TRICKY = [
    b"",
    b"a,b\n",
    b'a,b\n1,"x\ny"\n2,"p""q"\n3,""""\n',
    b'a,b\r\n1,2\r\n\r\n3,"4\r\n5"\r\n',
    b"a,b\r1,2\r3,4\r",
    b'a,b\nab"c,d\n"e"f,g\n"h""i"j,k\n',
    b'a,b\n1,2\n"never closed\n3,4\n',
    b"\xef\xbb\xbfa,b\n1,2\n",
    'name,v\nété,1\n€,2\n😀,3\n"😀\n€",4\n'.encode(),
    b"a,b\n1,x\n2,\xc3(\n3,\xff\n",  # two invalid records: the first is reported
    b"a\n1,2\n3,\xfe\n4\n",  # invalid in a field past the header's width
    b"a,b,c\n1\n2,3,4,5\n,\n\n\n7\n",
]


@pytest.mark.parametrize("data", TRICKY + [data for data, _ in CSV_ERRORS])
@pytest.mark.parametrize("chunk_size,sample_rows", [(1, 0), (2, 1), (3, 1000), (10000, 2)])
def test_tricky_inputs_match(data, chunk_size, sample_rows):
    assert_same_everywhere(data, chunk_size, sample_rows)


def corpus_files():
    if not CORPUS.is_dir():
        return []
    return sorted(
        path
        for path in CORPUS.rglob("*")
        if path.is_file() and path.name not in ("MANIFEST.tsv", "README.md")
    )


def test_corpus_files_match():
    files = corpus_files()
    if not files:
        pytest.skip("no corpus beside the project")
    for path in files:
        data = path.read_bytes()
        # Every file with the default cut and small chunks; the small ones cut
        # into the most parts too.
        part_sizes = [1, 64, None] if len(data) < 20000 else [4096, None]
        assert_same_everywhere(data, 7, 5, part_sizes)
        assert_same_everywhere(data, 10000, 1000, [None])


PIECES = [
    b",",
    b'"',
    b'""',
    b"\n",
    b"\r",
    b"\r\n",
    b"1",
    b"-2.5",
    b"x",
    b"true",
    b"null",
    "é".encode(),
    "€".encode(),
    "😀".encode(),
    b"\xff",
    b"\xe2\x82",
    b"  ",
    b"\n\n",
]


@pytest.mark.parametrize("seed", range(40))
def test_seeded_random_inputs_match(seed):
    rng = random.Random(seed)
    data = b"a,b,c\n" + b"".join(rng.choice(PIECES) for _ in range(rng.randrange(400)))
    assert_same_everywhere(data, rng.randrange(1, 6), rng.randrange(0, 6))


def well_formed_csv(rows, seed=0):
    rng = random.Random(seed)
    lines = [b"id,name,score,flag"]
    for row in range(rows):
        name = rng.choice(
            [b"plain", b'"with, comma"', b'"two\nlines"', b'"q""uote"', '"ünï"'.encode()]
        )
        lines.append(
            b"%d,%s,%.3f,%s" % (row, name, rng.random() * 100, rng.choice([b"true", b"false", b""]))
        )
    return b"\r\n".join(lines) + b"\r\n"


def test_larger_input_on_many_threads_and_cuts():
    data = well_formed_csv(30000)
    assert_same_everywhere(data, 1000, 100, [4096, None])
    broken = data + b"9,\xff,1,true\r\n" + data[30:]
    assert_same_everywhere(broken, 1000, 100, [4096, None])


def chunk_then_longer_chunk(chunk_size, bad_row=None):
    # A chunk of short cells, then one of long cells over 128 columns: a
    # thread done with the first takes the last rows of the second. Numbers,
    # plain texts and quoted texts the reader copies (escaped quotes, line
    # breaks) among them; an invalid byte in `bad_row`.
    header = b",".join(b"c%d" % column for column in range(128))
    lines = [header]
    for row in range(2 * chunk_size):
        length = 1 if row < chunk_size else 8 + row % 8
        cells = [b"%d" % row]
        for column in range(1, 128):
            text = bytes([ord("a") + (row + column) % 26]) * length
            if column % 5 == 0:
                cells.append(b"%d" % (row * column))
            elif row >= chunk_size and (row + column) % 7 == 0:
                cells.append(b'"' + text + b'""\n"')
            else:
                cells.append(text)
        if row == bad_row:
            cells[1] = b"\xff"
        lines.append(b",".join(cells))
    return b"\n".join(lines) + b"\n"


@pytest.mark.parametrize("bad_row", [None, 2999, 3999])
def test_rows_taken_from_a_chunk_under_way_match(bad_row):
    data = chunk_then_longer_chunk(2000, bad_row)
    expected = outcome(csv_to_vrex, data, 2000, 100)
    for _ in range(5):
        for threads in (2, 3):
            got = outcome(vrex.convert, data, 2000, 100, threads=threads)
            assert got == expected, threads


def test_calls_that_follow_each_other_share_nothing_but_memory():
    # Each call's workers hand their memory to the next call: inputs of the
    # same columns back to back, on every thread count, in both orders.
    inputs = [well_formed_csv(rows, seed) for rows, seed in ((3000, 1), (200, 2), (3000, 3))]
    for threads in (1, 2, 4, 2, 1):
        for data in inputs + inputs[::-1]:
            assert vrex.convert(data, 97, 100, threads=threads) == csv_to_vrex(data, 97, 100)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_forked_child_converts_with_the_memory_its_parent_kept():
    data = well_formed_csv(3000)
    expected = csv_to_vrex(data, 97, 100)
    assert vrex.convert(data, 97, 100, threads=2) == expected
    child = os.fork()
    if child == 0:  # pragma: no cover - the child reports by its exit status
        os._exit(0 if vrex.convert(data, 97, 100, threads=2) == expected else 1)
    deadline = time.monotonic() + 120
    while (waited := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    if waited[0] == 0:
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        pytest.fail("the forked child hung")
    assert os.waitstatus_to_exitcode(waited[1]) == 0


def test_buffers_are_accepted_when_read_only(tmp_path):
    data = well_formed_csv(500)
    expected = csv_to_vrex(data, 64, 10)
    assert vrex.convert(memoryview(data), 64, 10, threads=2) == expected
    assert vrex.convert(memoryview(bytearray(data)).toreadonly(), 64, 10, threads=2) == expected
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        assert vrex.convert(mapped, 64, 10, threads=2) == expected
    for writable in (bytearray(data), memoryview(bytearray(data))):
        with pytest.raises(TypeError, match="read-only"):
            vrex.convert(writable)
    with pytest.raises(TypeError):
        vrex.convert("text is not bytes")
    with pytest.raises(BufferError):
        vrex.convert(memoryview(data)[::2])


def test_arguments_are_checked():
    with pytest.raises(ValueError, match="chunk_size must be at least 1"):
        vrex.convert(b"a\n1\n", 0)
    with pytest.raises(ValueError):
        vrex.convert(b"a\n1\n", threads=0)
    with pytest.raises(ValueError):
        vrex.convert(b"a\n1\n", part_size=0)
    with pytest.raises(TypeError):
        vrex.convert(b"a\n1\n", threads=1.5)


def test_other_threads_run_while_converting():
    data = well_formed_csv(200000)
    ticks = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            stop.wait(0.001)

    def ticked_during(spans):
        return any(began < tick < ended for tick in ticks for began, ended in spans)

    counter = threading.Thread(target=count)
    counter.start()
    spans = []
    try:
        # On a loaded machine the counter may get no turn during one call.
        for _ in range(10):
            began = time.perf_counter()
            vrex.convert(data, threads=2)
            spans.append((began, time.perf_counter()))
            if ticked_during(spans):
                break
    finally:
        stop.set()
        counter.join()
    assert ticked_during(spans)


def test_convert_file_writes_the_same_bytes_and_reports_progress(tmp_path):
    data = well_formed_csv(20000)
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    target = tmp_path / "out.vrex"
    seen = []
    vrex.convert_file(
        source,
        target,
        500,
        50,
        threads=2,
        part_size=4096,
        progress=lambda done, total: seen.append((done, total)),
    )
    assert target.read_bytes() == csv_to_vrex(data, 500, 50)
    assert seen and seen[-1] == (len(data), len(data))
    assert all(total == len(data) for _, total in seen)
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.vrex"]


def test_convert_file_of_an_empty_file(tmp_path):
    (tmp_path / "empty.csv").write_bytes(b"")
    vrex.convert_file(tmp_path / "empty.csv", tmp_path / "empty.vrex")
    assert (tmp_path / "empty.vrex").read_bytes() == csv_to_vrex(b"")


def test_convert_file_reads_a_pipe_whole(tmp_path):
    data = well_formed_csv(3000)
    pipe = tmp_path / "in.pipe"
    os.mkfifo(pipe)
    writer = threading.Thread(target=lambda: pipe.write_bytes(data))
    writer.start()
    vrex.convert_file(pipe, tmp_path / "out.vrex", 100, 10, threads=2)
    writer.join()
    assert (tmp_path / "out.vrex").read_bytes() == csv_to_vrex(data, 100, 10)


@pytest.mark.parametrize("failure", ["parse", "progress"])
def test_convert_file_leaves_no_partial_file(tmp_path, failure):
    data = well_formed_csv(20000) + b"1,\xff,2,true\n"
    source = tmp_path / "in.csv"
    source.write_bytes(data)
    target = tmp_path / "out.vrex"
    target.write_bytes(b"old")

    def stop_midway(done, total):
        if failure == "progress" and done > 0:
            raise KeyboardInterrupt

    expected = ValueError if failure == "parse" else KeyboardInterrupt
    with pytest.raises(expected):
        vrex.convert_file(source, target, 100, 10, threads=2, part_size=4096, progress=stop_midway)
    assert target.read_bytes() == b"old"
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.vrex"]


def test_ctrl_c_stops_convert_file_and_removes_the_temporary_file(tmp_path):
    source = tmp_path / "in.csv"
    source.write_bytes(well_formed_csv(400000))
    script = textwrap.dedent(f"""
        import os, signal, threading, vrex
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            for _ in range(50):
                vrex.convert_file({str(source)!r}, {str(tmp_path / "out.vrex")!r}, threads=2)
        except KeyboardInterrupt:
            print("interrupted")
    """)
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    assert "interrupted" in result.stdout
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".part")]


@pytest.mark.parametrize(
    "write",
    [
        lambda source, target: vrex.convert_file(source, target),
        lambda source, target: write_atomically(str(target), b"bytes"),
    ],
    ids=["convert_file", "write_atomically"],
)
def test_an_interrupt_as_the_temporary_file_is_made_leaves_none(tmp_path, monkeypatch, write):
    # The interrupt lands just after the file is made, before the call that
    # made it returns: the narrowest place a temporary file could be lost.
    source = tmp_path / "in.csv"
    source.write_bytes(b"a\n1\n")
    target = tmp_path / "out.vrex"
    real_open = os.open

    def open_then_interrupt(path, flags, *args, **kwargs):
        descriptor = real_open(path, flags, *args, **kwargs)
        if os.path.basename(path).startswith(".out.vrex."):
            os.close(descriptor)
            raise KeyboardInterrupt
        return descriptor

    monkeypatch.setattr(os, "open", open_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        write(source, target)
    assert os.listdir(tmp_path) == ["in.csv"]


slow = pytest.mark.skipif(
    os.environ.get("VREX_SLOW_TESTS") != "1", reason="big-input tests run with VREX_SLOW_TESTS=1"
)


@slow
def test_convert_file_memory_does_not_grow_with_the_input(tmp_path):
    # A 2 GB source: anonymous memory (the peak of the process's RssAnon)
    # must stay under the stated bound, far below the input's size.
    source = tmp_path / "big.csv"
    block = well_formed_csv(100000)
    body = block[block.index(b"\n") + 1 :]
    with open(source, "wb") as file:
        file.write(block)
        while file.tell() < 2_000_000_000:
            file.write(body)
    script = textwrap.dedent(f"""
        import threading, time, vrex
        peak = 0
        def rss_anon():
            for line in open("/proc/self/status"):
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
        base = rss_anon()
        def sample(done, total):
            global peak
            peak = max(peak, rss_anon())
        vrex.convert_file({str(source)!r}, {str(tmp_path / "big.vrex")!r}, threads=2,
                          progress=sample)
        print(peak - base)
    """)
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=3000
    )
    assert result.returncode == 0, result.stderr
    grown = int(result.stdout.split()[-1])
    assert grown < 512 << 20, grown
