"""One huge file over a local cluster of two worker processes: the file written
is byte for byte the one csv_to_vrex gives for the whole input, or the result
carries that call's first error; nothing is left behind either way."""

import contextlib
import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed", reason="needs dask[distributed]")

import vrex  # noqa: E402
import vrex.dask as vrex_dask  # noqa: E402
from vrex.dask import convert_large_file  # noqa: E402

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus"


def expected_outcome(data: bytes, chunk_size: int, sample_rows: int):
    try:
        return "ok", vrex.csv_to_vrex(data, chunk_size, sample_rows)
    except ValueError as error:
        return "error", str(error)


def check_against_one_call(folder: Path, name: str, data: bytes, chunk_size, sample_rows, **kw):
    """Converts `data` over the cluster and compares it with one csv_to_vrex call."""
    source = folder / f"{name}.csv"
    target = folder / f"{name}.vrex"
    source.write_bytes(data)
    target.unlink(missing_ok=True)
    result = convert_large_file(source, target, chunk_size, sample_rows, **kw)
    kind, expected = expected_outcome(data, chunk_size, sample_rows)
    label = f"{name} chunk {chunk_size} sample {sample_rows} {kw.get('part_size')}"
    if kind == "ok":
        assert result.ok, f"{label}: {result.error}"
        assert target.read_bytes() == expected, label
        assert (result.input_bytes, result.output_bytes) == (len(data), len(expected))
    else:
        assert result.error == expected, label
        assert not target.exists(), label
    assert sorted(p.name for p in folder.iterdir() if p.name.startswith(".")) == [], label
    return result


GOLDEN = {
    "empty": b"",
    "header only": b"a,b\n",
    "plain": b"a,b\n1,x\n2,y\n3,z\n4,w\n5,v\n",
    "no final terminator": b"a,b\n1,x\n2,y",
    "quoted terminators": b'a,b\n"1\n2",x\n"3\r\n4",y\n5,"z\r"\n6,w\n',
    "doubled quotes": b'a\n"he said ""hi"""\n""""\n"x""\n"\nlast\n',
    "cr only": b"a,b\r1,2\r3,4\r\r5,6\r",
    "unclosed quote": b'a,b\n1,2\n"open\n3,4\n5,6\n',
    "bom": b"\xef\xbb\xbfa,b\n1,2\n3,4\n",
    "invalid utf-8 twice": b"a,b\n1,x\n2,\xff\n3,z\n4,\xc3(\n5,w\n",
    "ragged rows": b"a,b,c\n1\n2,3,4,5,6\n,\n\n7,8\n",
    "numbers then text": b"n\n1\n2\n3\n4\n5\n6\nseven\n8\n",
}


@pytest.mark.parametrize("name", list(GOLDEN))
def test_golden_cases(tmp_path, client, name):
    for chunk_size, sample_rows, part_size in [(1, 0, 1), (2, 1, 5), (3, 2, None), (0, 1, 4)]:
        check_against_one_call(
            tmp_path,
            "in",
            GOLDEN[name],
            chunk_size,
            sample_rows,
            client=client,
            part_size=part_size,
        )


def generated(rows: int) -> bytes:
    lines = [b"id,name,score,day\n"]
    for row in range(rows):
        name = f'"name {row % 97}\n, ""{row % 5}"""' if row % 11 == 0 else f"n{row % 13}"
        lines.append(f"{row},{name},{row * 0.25},2024-01-{1 + row % 28:02d}\r\n".encode())
    return b"".join(lines)


# Part sizes that do not divide the chunks' bytes, so parts begin at every
# offset within a chunk, and chunks larger than several parts.
@pytest.mark.parametrize(
    "chunk_size,part_size",
    [(1000, 4099), (333, 7919), (77, 30011), (5000, 2477), (10000, 101)],
)
def test_generated_input_in_many_parts(tmp_path, client, chunk_size, part_size):
    data = generated(6000) if part_size > 200 else generated(300)
    check_against_one_call(
        tmp_path, "gen", data, chunk_size, 100, client=client, part_size=part_size
    )


def test_errors_in_several_parts_give_the_first(tmp_path, client):
    data = bytearray(generated(6000))
    for fraction in (0.8, 0.5, 0.3):  # the first fault lies in the middle of the input
        at = data.index(b"\n", int(len(data) * fraction)) + 1
        data[at:at] = b"1,\xff\xfe,2,3\n"
    (tmp_path / "gen.vrex").write_bytes(b"old")  # an existing target stays as it was
    for part_size in (4099, 50000):
        result = convert_large_file(
            _write(tmp_path / "gen.csv", bytes(data)),
            tmp_path / "gen.vrex",
            500,
            100,
            client=client,
            part_size=part_size,
        )
        assert result.error == expected_outcome(bytes(data), 500, 100)[1]
        assert result.error.startswith("CSV parse error: ")
        assert (tmp_path / "gen.vrex").read_bytes() == b"old"
        assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def _write(path: Path, data: bytes) -> Path:
    path.write_bytes(data)
    return path


def corpus_files(min_size: int):
    if not CORPUS.is_dir():
        return []
    return sorted(
        path
        for path in CORPUS.rglob("*")
        if path.is_file()
        and path.name not in ("MANIFEST.tsv", "README.md")
        and path.stat().st_size > min_size
    )


def test_corpus_files(tmp_path, client):
    # The larger files, each in about six parts; the C++ tests take every file.
    files = corpus_files(16 << 10)
    if not files:
        pytest.skip("no corpus beside the project")

    def one(index_and_path):
        index, path = index_and_path
        folder = tmp_path / str(index)
        folder.mkdir()
        data = path.read_bytes()
        check_against_one_call(
            folder, "in", data, 7, 5, client=client, part_size=len(data) // 6 + 1
        )

    with ThreadPoolExecutor(4) as pool:
        list(pool.map(one, enumerate(files)))


def test_arguments_and_sources_that_cannot_be_converted(tmp_path, client):
    source = _write(tmp_path / "a.csv", b"a\n1\n")
    with pytest.raises(ValueError, match="would replace an input"):
        convert_large_file(source, source, client=client)
    with pytest.raises(ValueError, match="part_size must be at least 1"):
        convert_large_file(source, tmp_path / "a.vrex", client=client, part_size=0)
    with pytest.raises(TypeError, match="part_size must be an int"):
        convert_large_file(source, tmp_path / "a.vrex", client=client, part_size=1.5)
    missing = convert_large_file(tmp_path / "missing.csv", tmp_path / "a.vrex", client=client)
    assert missing.error == "cannot read: No such file or directory"
    no_folder = convert_large_file(source, tmp_path / "none" / "a.vrex", client=client)
    assert no_folder.error.startswith("cannot write ")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.csv"]


def test_a_changed_source_is_reported(tmp_path, client, monkeypatch):
    source = _write(tmp_path / "a.csv", generated(3000))
    real_mapped = vrex_dask._mapped

    @contextlib.contextmanager
    def mapped_then_appended(path):
        # The client reads the table's start, then the file grows.
        with real_mapped(path) as mapped:
            yield mapped
        with open(path, "ab") as stream:
            stream.write(b"9,x,1,2024-01-01\n")

    monkeypatch.setattr(vrex_dask, "_mapped", mapped_then_appended)
    result = convert_large_file(source, tmp_path / "a.vrex", 100, 10, client=client, part_size=9000)
    assert result.error == "the input changed while it was converted"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.csv"]


def test_an_interrupt_while_joining_leaves_nothing(tmp_path, client, monkeypatch):
    source = _write(tmp_path / "a.csv", generated(3000))
    (tmp_path / "a.vrex").write_bytes(b"old")

    def interrupted(descriptor, data, offset):
        raise KeyboardInterrupt

    # The output's temporary file exists by then, and so do the pieces.
    monkeypatch.setattr(vrex_dask, "_write_all_at", interrupted)
    with pytest.raises(KeyboardInterrupt):
        convert_large_file(source, tmp_path / "a.vrex", 100, 10, client=client, part_size=9000)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.csv", "a.vrex"]
    assert (tmp_path / "a.vrex").read_bytes() == b"old"


def moment_reached(folder: Path, moment: str) -> bool:
    if moment == "converting parts":  # a piece is complete
        return any(folder.glob(".big.vrex.*.pieces/*.piece"))
    return any(folder.glob(".big.vrex.*.tmp"))  # pieces are being copied into place


@pytest.mark.parametrize("moment", ["converting parts", "placing pieces"])
def test_a_worker_killed_mid_run(tmp_path, client, moment):
    """Its tasks run again elsewhere, or the call fails; never a wrong file."""
    data = generated(200_000)  # about 9 MB, in parts of 256 KiB
    source = _write(tmp_path / "big.csv", data)
    target = tmp_path / "big.vrex"
    workers = client.run(os.getpid)
    outcome = {}

    def convert():
        outcome["result"] = convert_large_file(
            source, target, 2000, 100, client=client, part_size=256 << 10
        )

    runner = threading.Thread(target=convert)
    runner.start()
    deadline = time.monotonic() + 60
    killed = False
    while runner.is_alive() and time.monotonic() < deadline and not killed:
        if moment_reached(tmp_path, moment):
            os.kill(next(iter(workers.values())), signal.SIGKILL)
            killed = True
        time.sleep(0.002)
    runner.join(120)
    assert killed
    result = outcome["result"]
    if result.ok:
        assert target.read_bytes() == vrex.csv_to_vrex(data, 2000, 100)
    else:
        assert result.error.startswith("task failed: ")
        assert not target.exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["big.csv"] + (["big.vrex"] if result.ok else [])
    )
    client.wait_for_workers(2, timeout=60)
