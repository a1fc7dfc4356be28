"""The module as Python sees it: attributes, signature, argument rules."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import _vrex
from _vrex import csv_to_vrex

DATA = b"x,y\n1,a\n2,\n"

DOC_LINES = [
    "Convert CSV bytes to VREX bytes.",
    "",
    "Args:",
    "    csv_bytes: Raw UTF-8 encoded CSV data (with header row).",
    "    chunk_size: Number of rows per VREX table slice (default 10 000).",
    "    sample_rows: Number of rows to sample for column type inference (default 1 000).",
    "",
    "Returns:",
    "    VREX file contents as bytes.",
    "",
    "Raises:",
    "    ValueError: If the CSV cannot be parsed or the VREX cannot be written.",
]


def test_module_attributes_are_exactly_the_designed_ones():
    assert _vrex.__doc__ == ""
    assert _vrex.__all__ == ["csv_to_vrex"]
    own = {name for name in vars(_vrex) if not name.startswith("__")}
    assert own == {"csv_to_vrex"}
    assert csv_to_vrex.__module__ == "_vrex"
    assert csv_to_vrex.__self__ is _vrex
    assert csv_to_vrex.__name__ == "csv_to_vrex"


def test_signature_and_docstring():
    assert csv_to_vrex.__text_signature__ == "(csv_bytes, chunk_size=10000, sample_rows=1000)"
    assert csv_to_vrex.__doc__ == "\n".join(DOC_LINES)


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("_vrex")
    try:
        again = importlib.import_module("_vrex")
        assert again is first
    finally:
        sys.modules["_vrex"] = first


class Bytes(bytes):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


ACCEPTED_CALLS = [
    ("defaults", lambda: csv_to_vrex(DATA)),
    ("keywords", lambda: csv_to_vrex(csv_bytes=DATA, sample_rows=5)),
    ("bytes subclass", lambda: csv_to_vrex(Bytes(DATA))),
    ("True is 1", lambda: csv_to_vrex(DATA, chunk_size=True)),
    ("largest size", lambda: csv_to_vrex(DATA, 18446744073709551615, 18446744073709551615)),
    ("__index__", lambda: csv_to_vrex(DATA, Index(2), Index(0))),
    ("sample_rows 0", lambda: csv_to_vrex(DATA, sample_rows=0)),
]


@pytest.mark.parametrize("name,call", ACCEPTED_CALLS, ids=[c[0] for c in ACCEPTED_CALLS])
def test_accepted_calls_return_bytes(name, call):
    result = call()
    assert type(result) is bytes
    assert result.startswith(b"\xa7\x3c\x01\x01\x00")


# fmt: off
REFUSED_CALLS = [
    (lambda: csv_to_vrex(DATA, 1, 1, 1), TypeError,
     "csv_to_vrex() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: csv_to_vrex(DATA, 1, 1, 1, 1), TypeError,
     "csv_to_vrex() takes from 1 to 3 positional arguments but 5 were given"),
    (lambda: csv_to_vrex(), TypeError,
     "csv_to_vrex() missing 1 required positional argument: 'csv_bytes'"),
    (lambda: csv_to_vrex(chunk_size=3), TypeError,
     "csv_to_vrex() missing 1 required positional argument: 'csv_bytes'"),
    (lambda: csv_to_vrex(DATA, 5, chunk_size=3), TypeError,
     "csv_to_vrex() got multiple values for argument 'chunk_size'"),
    (lambda: csv_to_vrex(DATA, csv_bytes=DATA), TypeError,
     "csv_to_vrex() got multiple values for argument 'csv_bytes'"),
    (lambda: csv_to_vrex("text", foo=1), TypeError,
     "csv_to_vrex() got an unexpected keyword argument 'foo'"),
    (lambda: csv_to_vrex(foo=1), TypeError,
     "csv_to_vrex() got an unexpected keyword argument 'foo'"),
    (lambda: csv_to_vrex(**{"\udcff": 1}), TypeError,
     "csv_to_vrex() got an unexpected keyword argument '\udcff'"),
    (lambda: csv_to_vrex("text"), TypeError,
     "argument 'csv_bytes': 'str' object cannot be converted to 'PyBytes'"),
    (lambda: csv_to_vrex(bytearray(DATA)), TypeError,
     "argument 'csv_bytes': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: csv_to_vrex(memoryview(DATA)), TypeError,
     "argument 'csv_bytes': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda: csv_to_vrex(Index), TypeError,
     "argument 'csv_bytes': 'type' object cannot be converted to 'PyBytes'"),
    (lambda: csv_to_vrex("text", chunk_size=None), TypeError,
     "argument 'csv_bytes': 'str' object cannot be converted to 'PyBytes'"),
    (lambda: csv_to_vrex(DATA, 2.0), TypeError,
     "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
    (lambda: csv_to_vrex(DATA, None), TypeError,
     "argument 'chunk_size': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: csv_to_vrex(DATA, 1, "5"), TypeError,
     "argument 'sample_rows': 'str' object cannot be interpreted as an integer"),
    (lambda: csv_to_vrex(DATA, RaisingIndex(TypeError("nope"))), TypeError,
     "argument 'chunk_size': nope"),
    (lambda: csv_to_vrex(DATA, -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: csv_to_vrex(DATA, 2**64), OverflowError, "int too big to convert"),
    (lambda: csv_to_vrex(DATA, 1, -5), OverflowError, "can't convert negative int to unsigned"),
    (lambda: csv_to_vrex(DATA, Index(-1)), OverflowError, "can't convert negative int to unsigned"),
    (lambda: csv_to_vrex(DATA, RaisingIndex(KeyError("k"))), KeyError, "'k'"),
]
# fmt: on


@pytest.mark.parametrize("call,error,message", REFUSED_CALLS, ids=[r[2] for r in REFUSED_CALLS])
def test_refused_calls_raise_the_exact_error(call, error, message):
    with pytest.raises(BaseException) as caught:
        call()
    assert type(caught.value) is error
    assert str(caught.value) == message


def test_wrapped_type_error_keeps_the_cause_of_the_original():
    cause = ValueError("root")
    original = TypeError("inner")
    original.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        csv_to_vrex(DATA, RaisingIndex(original))
    assert caught.value is not original
    assert caught.value.__cause__ is cause


def test_type_error_subclass_passes_unchanged():
    class MyTypeError(TypeError):
        pass

    error = MyTypeError("special")
    with pytest.raises(MyTypeError) as caught:
        csv_to_vrex(DATA, RaisingIndex(error))
    assert caught.value is error


def test_chunk_size_zero_is_refused_before_reading():
    # Even input that could not be read gives the chunk_size message.
    with pytest.raises(ValueError) as caught:
        csv_to_vrex(b"\xff,\xfe\n", 0)
    assert caught.value.args == ("chunk_size must be at least 1",)


def test_subinterpreter_import_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no way to make a subinterpreter here")
    code = textwrap.dedent("""
        import _vrex, _testcapi, sys
        status = _testcapi.run_in_subinterp("import _vrex")
        sys.exit(0 if status != 0 else 3)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stderr


def test_only_the_init_function_is_exported():
    import shutil

    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", _vrex.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit__vrex"]
