"""Internal faults never cross into Python as crashes.

These run against a test-only build of the module (VREX_FAULT_INJECTION),
whose folder the test command passes in VREX_FAULT_BUILD_DIR; the shipped
module has no such switch."""

import os
import subprocess
import sys
import textwrap

import pytest

BUILD_DIR = os.environ.get("VREX_FAULT_BUILD_DIR")
pytestmark = pytest.mark.skipif(not BUILD_DIR, reason="no fault-injection build given")

PROBE = textwrap.dedent("""
    import _vrex
    try:
        _vrex.csv_to_vrex(b"a\\n1\\n")
    except Exception:
        print("caught as Exception")
    except BaseException as error:
        kind = type(error)
        print(kind.__module__, kind.__name__, kind.__mro__[1].__name__, error.args)
    # The module stays usable afterwards.
    import os
    del os.environ["VREX_INJECT_FAULT"]
    print(len(_vrex.csv_to_vrex(b"a\\n1\\n")))
""")


def run_probe(level: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=BUILD_DIR, VREX_INJECT_FAULT=level)
    return subprocess.run(
        [sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, timeout=60
    )


def test_fault_becomes_panic_exception():
    result = run_probe("1")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == (
        "pyo3_runtime PanicException BaseException ('injected fault: index out of range',)"
    )
    assert lines[1].isdigit()
    assert "injected fault: index out of range" in result.stderr


def test_fault_while_handling_a_fault_aborts():
    result = run_probe("2")
    assert result.returncode != 0
    assert "uncaught panic at ffi boundary" in result.stderr


GROWTH_PROBE = textwrap.dedent("""
    import os, sys, tracemalloc
    import _vrex
    # A small input whose output outgrows its first room many times over.
    data = (",".join(f"c{i}" for i in range(2000)) + "\\n" + "1\\n" * 2000).encode()
    expected = _vrex.csv_to_vrex(data, 500, 0)
    tracemalloc.start()
    for growth in range(1, 6):
        os.environ["VREX_INJECT_GROWTH_FAILURE"] = str(growth)
        before = tracemalloc.get_traced_memory()[0]
        try:
            _vrex.csv_to_vrex(data, 500, 0)
            print("converted")
        except MemoryError:
            print(tracemalloc.get_traced_memory()[0] - before)
    del os.environ["VREX_INJECT_GROWTH_FAILURE"]
    print(_vrex.csv_to_vrex(data, 500, 0) == expected)
""")


def test_memory_running_out_as_the_result_grows_releases_it():
    env = dict(os.environ, PYTHONPATH=BUILD_DIR)
    env.pop("VREX_INJECT_FAULT", None)
    result = subprocess.run(
        [sys.executable, "-c", GROWTH_PROBE], env=env, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    *held, usable = result.stdout.split()
    assert len(held) == 5 and all(int(size) < 65536 for size in held), result.stdout
    assert usable == "True"
