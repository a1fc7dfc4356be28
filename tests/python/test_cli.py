"""The `vrex` command as a user runs it: through a subprocess, exit statuses and all."""

import os
import pty
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vrex
from vrex import conversion

GOOD = b"id,price,word\n1,2.5,a\n2,oops,b\n3,4.0,\n"
BAD_UTF8 = b"a,b\n1,\xff\n"


def run(*args, cwd, stdin=b""):
    """`python -m vrex ARGS`: (exit status, stdout bytes, stderr text)."""
    done = subprocess.run(
        [sys.executable, "-m", "vrex", *map(str, args)],
        cwd=cwd,
        input=stdin,
        capture_output=True,
        timeout=120,
    )
    return done.returncode, done.stdout, done.stderr.decode()


def leftovers(folder: Path) -> list[str]:
    """Temporary files a conversion left behind."""
    return sorted(p.name for p in folder.iterdir() if p.name.endswith(".tmp"))


@pytest.fixture
def files(tmp_path):
    (tmp_path / "good.csv").write_bytes(GOOD)
    (tmp_path / "bad.csv").write_bytes(BAD_UTF8)
    return tmp_path


def test_console_script_and_module_are_the_same_command(tmp_path):
    script = shutil.which("vrex", path=str(Path(sys.executable).parent))
    if script is None:
        pytest.skip("the vrex console script is not installed beside this interpreter")
    done = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert done.returncode == 0
    assert done.stdout == run("--help", cwd=tmp_path)[1].decode()
    assert "convert" in done.stdout and "inspect" in done.stdout


@pytest.mark.parametrize(
    "args, sizes",
    [
        ([], (10000, 1000)),
        (["--chunk-size", "1", "--sample-rows", "1"], (1, 1)),
        (["--sample-rows=0"], (10000, 0)),
    ],
)
def test_convert_writes_exactly_what_the_function_returns(files, args, sizes):
    status, out, err = run("convert", "good.csv", *args, cwd=files)
    assert (status, out, err) == (0, b"", "")
    assert (files / "good.vrex").read_bytes() == vrex.csv_to_vrex(GOOD, *sizes)
    assert leftovers(files) == []


def test_output_file_permissions_follow_the_umask(files):
    subprocess.run(
        [
            sys.executable,
            "-c",
            "import os, sys; os.umask(0o027); from vrex.cli import main; sys.exit(main())",
            "convert",
            "good.csv",
        ],
        cwd=files,
        check=True,
    )
    assert (files / "good.vrex").stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize(
    "args, written",
    [
        (["convert", "good.csv", "-o", "named.out"], "named.out"),
        (["convert", "good.csv", "-o", "sub"], "sub/good.vrex"),
        (["convert", "-", "-o", "from_stdin.vrex"], "from_stdin.vrex"),
        (["convert", "noext"], "noext.vrex"),
    ],
)
def test_where_the_output_goes(files, args, written):
    (files / "sub").mkdir()
    (files / "noext").write_bytes(GOOD)
    status, _, err = run(*args, cwd=files, stdin=GOOD)
    assert (status, err) == (0, "")
    assert (files / written).read_bytes() == vrex.csv_to_vrex(GOOD)


@pytest.mark.parametrize(
    "args", [["convert", "-"], ["convert", "-", "-o", "-"], ["convert", "good.csv", "-o", "-"]]
)
def test_standard_output(files, args):
    status, out, err = run(*args, cwd=files, stdin=GOOD)
    assert (status, err) == (0, "")
    assert out == vrex.csv_to_vrex(GOOD)


@pytest.mark.parametrize("output", [None, "out"])
def test_several_inputs_convert_in_parallel_and_failures_do_not_stop_the_rest(files, output):
    (files / "in").mkdir()
    names = [f"in/part{k}.csv" for k in range(5)]
    for k, name in enumerate(names):
        (files / name).write_bytes(GOOD + f"{k},1.0,x\n".encode())
    (files / "out").mkdir()
    args = ["-o", output] if output else []
    status, out, err = run("convert", *names, "bad.csv", "missing.csv", *args, cwd=files)
    assert status == 1 and out == b""
    # Not a terminal: nothing but the failures, one line each.
    assert sorted(err.splitlines()) == [
        "vrex: bad.csv: CSV parse error: CSV parse error: record 1 (line 2, field: 1, byte: 4): "
        "invalid utf-8: invalid UTF-8 in field 1 near byte index 0",
        "vrex: missing.csv: cannot read: No such file or directory",
    ]
    out_dir = files / (output or "in")
    for name in names:
        written = out_dir / Path(name).with_suffix(".vrex").name
        assert written.read_bytes() == vrex.csv_to_vrex((files / name).read_bytes())
    assert len(list(out_dir.glob("*.vrex"))) == len(names)
    assert not (files / "bad.vrex").exists() and leftovers(files) == []


@pytest.mark.parametrize(
    "stdin, args, message",
    [
        (b"", ["convert", "bad.csv"], "vrex: bad.csv: CSV parse error: "),
        (BAD_UTF8, ["convert", "-", "-o", "good.vrex"], "vrex: <stdin>: CSV parse error: "),
        (
            b"",
            ["convert", "good.csv", "-o", "nowhere/x.vrex"],
            "vrex: good.csv: cannot write nowhere/x.vrex: ",
        ),
        (b"", ["convert", "absent.csv", "-o", "good.vrex"], "vrex: absent.csv: cannot read: "),
        (b"", ["convert", "sub", "-o", "good.vrex"], "vrex: sub: cannot read: Is a directory"),
    ],
)
def test_a_failed_conversion_leaves_the_old_output_untouched(files, stdin, args, message):
    (files / "sub").mkdir()
    previous = b"an earlier output"
    (files / "good.vrex").write_bytes(previous)
    (files / "bad.vrex").write_bytes(previous)
    status, out, err = run(*args, cwd=files, stdin=stdin)
    assert status == 1 and out == b""
    assert err.startswith(message) and err.count("\n") == 1
    assert (files / "good.vrex").read_bytes() == previous
    assert (files / "bad.vrex").read_bytes() == previous
    assert leftovers(files) == []


def test_failure_to_stdout_writes_nothing(files):
    status, out, err = run("convert", "-", stdin=BAD_UTF8, cwd=files)
    assert (status, out) == (1, b"") and err.startswith("vrex: <stdin>: CSV parse error: ")


def test_a_failing_write_removes_its_temporary_file(tmp_path, monkeypatch):
    def refuse(source, target):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", refuse)
    (tmp_path / "in.csv").write_bytes(GOOD)
    result = conversion.convert_file(str(tmp_path / "in.csv"), str(tmp_path / "in.vrex"))
    assert not result.ok and result.error.endswith("No space left on device")
    assert list(tmp_path.iterdir()) == [tmp_path / "in.csv"]


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["convert"], "the following arguments are required: IN.csv"),
        (["convert", "good.csv", "--chunk-size", "0"], "must be at least 1, not 0"),
        (["convert", "good.csv", "--chunk-size", "ten"], "not a whole number: 'ten'"),
        (["convert", "good.csv", "--sample-rows", "-1"], "must be at least 0, not -1"),
        (
            ["convert", "good.csv", "--chunk-size", str(2**64)],
            "must be at most 18446744073709551615",
        ),
        (["convert", "good.csv", "-"], "standard input has no file name"),
        (
            ["convert", "good.csv", "bad.csv", "-o", "x.vrex"],
            "with several inputs, -o must name an existing folder",
        ),
        (["convert", "-", "-"], "standard input ('-') can be read only once"),
        (["convert", "-", "-o", "."], "standard input has no file name"),
        (
            ["convert", "good.csv", "good.tsv"],
            "good.csv and good.tsv would both be written to good.vrex",
        ),
        (
            ["convert", "good.csv", "good.tsv", "-o", "."],
            "good.csv and good.tsv would both be written to ./good.vrex",
        ),
        (
            ["convert", "good.csv", "-o", "good.csv"],
            "good.csv: the output good.csv would replace an input",
        ),
        (["convert", "good.csv", "-o", "missing/"], "no such folder: missing/"),
        (["inspect"], "the following arguments are required: FILE.vrex"),
        (["inspect", "x.vrex", "--head", "many"], "not a whole number: 'many'"),
    ],
)
def test_usage_errors_exit_2_and_touch_nothing(files, args, message):
    (files / "good.tsv").write_bytes(GOOD)
    before = sorted(p.name for p in files.iterdir())
    status, out, err = run(*args, cwd=files)
    assert status == 2 and out == b""
    assert message in err and err.startswith("usage: vrex")
    assert sorted(p.name for p in files.iterdir()) == before


@pytest.mark.parametrize("command", [[], ["convert"], ["inspect"]])
def test_help_reads_well(tmp_path, command):
    status, out, err = run(*command, "--help", cwd=tmp_path)
    assert status == 0 and err == ""
    text = out.decode()
    assert text.startswith("usage: vrex") and max(map(len, text.splitlines())) <= 100


def test_inspect_shows_schema_rows_slices_and_size(files):
    data = vrex.csv_to_vrex(GOOD, chunk_size=2)
    (files / "good.vrex").write_bytes(data)
    status, out, err = run("inspect", "good.vrex", cwd=files)
    assert (status, err) == (0, "")
    assert out.decode().splitlines() == [
        f"file     good.vrex ({len(data):,} bytes, version 1.0)",
        "rows     3",
        "slices   2: 2 rows, 1 row",
        "columns  3",
        "",
        "name   type    invalid",
        "id     Int           0",
        "price  String        0",
        "word   String        1",
    ]


def test_inspect_head_is_an_aligned_table_with_invalid_cells_blank(files):
    csv = b'n,text,flag\n1,plain,true\n22,"two\nlines",maybe\n333,,false\n'
    (files / "t.vrex").write_bytes(vrex.csv_to_vrex(csv, sample_rows=1))
    status, out, err = run("inspect", "t.vrex", "--head", "2", cwd=files)
    assert (status, err) == (0, "")
    assert out.decode().split("\n\n")[-1].splitlines() == [
        " n  text        flag",
        " 1  plain       True",
        "22  two\\nlines",
    ]
    status, out, _ = run(
        "inspect", "-", "--head", "99", cwd=files, stdin=(files / "t.vrex").read_bytes()
    )
    assert status == 0 and out.decode().rstrip().endswith("\n333" + " " * 14 + "False")


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "vrex: x.vrex: cannot read: No such file or directory"),
        (b"not a vrex file", "vrex: x.vrex: VREX read error: "),
    ],
)
def test_inspect_failures(files, content, message):
    if content is not None:
        (files / "x.vrex").write_bytes(content)
    status, out, err = run("inspect", "x.vrex", cwd=files)
    assert status == 1 and out == b""
    assert err.startswith(message) and "Traceback" not in err


def test_progress_bar_only_on_a_terminal(files):
    for k in range(3):
        (files / f"p{k}.csv").write_bytes(GOOD)
    leader, follower = pty.openpty()
    try:
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "vrex",
                "convert",
                "p0.csv",
                "p1.csv",
                "p2.csv",
                "bad.csv",
                "-o",
                ".",
            ],
            cwd=files,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=follower,
            timeout=120,
        )
        os.close(follower)
        follower = None
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if follower is not None:
            os.close(follower)
        os.close(leader)
    text = shown.decode()
    assert done.returncode == 1
    assert "\r" in text and "4/4 files" in text and "1 failed" in text
    assert "vrex: bad.csv: CSV parse error: " in text
    assert "vrex: converted 3 of 4 files" in text


def test_an_interrupt_leaves_only_complete_outputs(tmp_path):
    rows = "".join(f"{k},{k * 0.5},word{k % 97}\n" for k in range(200_000))
    data = ("a,b,c\n" + rows).encode()
    names = [f"in{k}.csv" for k in range(12)]
    for name in names:
        (tmp_path / name).write_bytes(data)
    process = subprocess.Popen(
        [sys.executable, "-m", "vrex", "convert", *names, "-o", "."],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    # Interrupted once the first output is being written: earlier, on a busy
    # machine, the signal could land while the interpreter is still starting.
    deadline = time.monotonic() + 60
    while not any(tmp_path.glob("*.vrex")) and not any(tmp_path.glob(".*.tmp")):
        if time.monotonic() > deadline or process.poll() is not None:
            break
        time.sleep(0.01)
    os.killpg(process.pid, signal.SIGINT)  # Ctrl-C reaches the whole process group
    _, err = process.communicate(timeout=120)
    # A fast machine may have finished; otherwise the command stops with 130.
    assert process.returncode in (0, 130) and "Traceback" not in err.decode()
    expected = vrex.csv_to_vrex(data)
    for written in tmp_path.glob("*.vrex"):
        assert written.read_bytes() == expected, written.name
    assert leftovers(tmp_path) == []


def test_binary_is_not_written_to_a_terminal(files):
    leader, follower = pty.openpty()
    try:
        done = subprocess.run(
            [sys.executable, "-m", "vrex", "convert", "good.csv", "-o", "-"],
            cwd=files,
            stdout=follower,
            stderr=subprocess.PIPE,
            timeout=120,
        )
    finally:
        os.close(follower)
        os.close(leader)
    assert done.returncode == 2
    assert "refusing to write binary data to a terminal" in done.stderr.decode()
