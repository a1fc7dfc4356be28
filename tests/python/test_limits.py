"""Memory exhaustion and the format's 32-bit limits, in subprocesses.

The big cases allocate several GiB and take a while; they run only when
VREX_SLOW_TESTS=1 (the test command sets it when the machine has the memory)."""

import os
import subprocess
import sys
import textwrap

import pytest

slow = pytest.mark.skipif(
    os.environ.get("VREX_SLOW_TESTS") != "1", reason="big-input tests run with VREX_SLOW_TESTS=1"
)
under_sanitizer = "libasan" in os.environ.get("LD_PRELOAD", "")


def run(code: str, timeout: int = 600) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.mark.skipif(under_sanitizer, reason="address-space limits and sanitizers do not mix")
def test_exhausted_memory_is_a_memory_error_and_the_module_stays_usable():
    result = run("""
        import resource
        from _vrex import csv_to_vrex
        # Twenty thousand columns by twenty thousand rows of padding: about 450 MB of
        # output wanted, beyond the limit below.
        data = (",".join(f"c{i}" for i in range(20000)) + "\\n" + "1\\n" * 20000).encode()
        resource.setrlimit(resource.RLIMIT_AS, (384 << 20, 384 << 20))
        try:
            csv_to_vrex(data, 10000, 0)
        except MemoryError:
            print("MemoryError")
        print(len(csv_to_vrex(b"a\\n1\\n")))
    """)
    assert result.returncode == 0, result.stderr
    words = result.stdout.split()
    assert words[0] == "MemoryError" and words[1].isdigit(), result.stdout


@pytest.mark.skipif(under_sanitizer, reason="address-space limits and sanitizers do not mix")
def test_failed_calls_release_the_partly_written_result():
    # The result is written in place as the output grows; a call that fails
    # part way must release it, whatever the failure.
    result = run("""
        import resource, tracemalloc
        from _vrex import csv_to_vrex
        rows = b"12345,-6.75,some text\\n" * 200_000
        padded = (",".join(f"c{i}" for i in range(20000)) + "\\n" + "1\\n" * 20000).encode()
        failing = [
            (b"a,b,c\\n" + rows + b"1,2,\\xff\\n", 1000, ValueError),
            (b"a,b,c\\n" + rows + b"1,2,\\xff\\n" + rows, 7, ValueError),
            (padded, 10000, MemoryError),
        ]
        csv_to_vrex(b"a,b,c\\n" + rows)  # the allocator and the interpreter settle
        tracemalloc.start()
        resource.setrlimit(resource.RLIMIT_AS, (384 << 20, 384 << 20))
        for payload, chunk_size, expected in failing:
            before = tracemalloc.get_traced_memory()[0]
            try:
                csv_to_vrex(payload, chunk_size, 0)
                print("converted")
            except expected:
                print(tracemalloc.get_traced_memory()[0] - before)
    """)
    assert result.returncode == 0, result.stderr
    held = result.stdout.split()
    assert len(held) == 3 and all(int(size) < 65536 for size in held), result.stdout


def test_result_is_an_ordinary_bytes_object():
    result = run("""
        import sys
        from _vrex import csv_to_vrex
        data = b"a,b\\n" + b"1,text\\n" * 100_000
        out = csv_to_vrex(data, 999)
        copy = bytes(bytearray(out))
        print(type(out) is bytes, sys.getrefcount(out), out == copy, hash(out) == hash(copy),
              out[-1:] == copy[-1:])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "2", "True", "True", "True"], result.stdout


@slow
def test_text_longer_than_the_format_allows():
    result = run("""
        from _vrex import csv_to_vrex
        data = b"a\\n" + b"x" * (2**31) + b"\\n"
        try:
            csv_to_vrex(data)
        except ValueError as error:
            print(error.args[0])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "VREX write error: string too long"


@slow
def test_texts_whose_packed_total_exceeds_the_format():
    result = run("""
        from _vrex import csv_to_vrex
        field = b"y" * (800 * 2**20)
        data = b"a\\n" + (field + b"\\n") * 3
        try:
            csv_to_vrex(data)
        except ValueError as error:
            print(error.args[0])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "VREX write error: too many values in array"


@slow
def test_input_larger_than_4_gib():
    result = run(
        """
        import sys
        sys.path.insert(0, %r)
        from _vrex import csv_to_vrex
        from vrex_decode import _Cursor
        row = b"123456,-7.25,true,some text\\n"
        rows = (4 * 2**30 + 2**28) // len(row)
        data = b"i,d,b,s\\n" + row * rows
        out = csv_to_vrex(data, 1_000_000)
        del data
        # The last slice holds the remainder; count slices from the row total.
        print(rows, len(out) > 0)
    """
        % os.path.dirname(__file__),
        timeout=1200,
    )
    assert result.returncode == 0, result.stderr
    rows, ok = result.stdout.split()
    assert int(rows) > 2**32 // 28 and ok == "True"


@pytest.mark.skipif(under_sanitizer, reason="the sanitizer's quarantine holds freed memory")
def test_memory_returns_after_success_and_after_failure_at_the_last_record():
    result = run("""
        import gc
        from _vrex import csv_to_vrex

        def rss_mb():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) / 1024

        data = b"a,b,c\\n" + b"12345,-6.75,some text\\n" * 3_000_000
        broken = data + b"1,2,\\xff\\n"
        csv_to_vrex(data)  # first call: the allocator and the interpreter settle
        gc.collect()
        before = rss_mb()
        for payload in (data, broken, data, broken):
            try:
                csv_to_vrex(payload)
            except ValueError:
                pass
            gc.collect()
        print(rss_mb() - before)
    """)
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) < 8, result.stdout
