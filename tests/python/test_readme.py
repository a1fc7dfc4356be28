"""Every example of the README's "Examples" section, run as a reader would run it.

An example is the fenced block after a marker `<!-- example: NAME [needs=MODULE]
[file=NAME] -->`. A `pycon` block runs as a doctest; a `console` block runs
each `$ command` with bash and compares what it prints (standard output and
error together) with the lines below it; a block with `file=` is written to
that file for a later command. The examples run in order in one scratch folder
holding a copy of examples/data, as a reader runs them in the project folder.
"""

import doctest
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
MARKER = re.compile(
    r"<!-- example: (?P<name>[\w-]+)(?P<options>[^>]*?)\s*-->\n```(?P<lang>\w*)\n(?P<body>.*?)```",
    re.S,
)


def _examples():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    start = text.index("\n## Examples\n")
    end = text.find("\n## ", start + 1)
    section = text[start : end if end != -1 else len(text)]
    found = []
    for match in MARKER.finditer(section):
        options = dict(item.split("=", 1) for item in match["options"].split())
        line = text[: start + match.start("body")].count("\n") + 1
        found.append((match["name"], options, match["lang"], match["body"], line))
    return found


EXAMPLES = _examples()


def test_the_section_has_its_examples():
    assert [name for name, *_ in EXAMPLES] == [
        "python",
        "pandas",
        "cli",
        "dask",
        "dask-run",
        "dask-large",
        "dask-large-run",
    ]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("readme")
    shutil.copytree(ROOT / "examples" / "data", folder / "examples" / "data")
    return folder


@pytest.mark.parametrize("name, options, lang, body, line", EXAMPLES, ids=[e[0] for e in EXAMPLES])
def test_example(folder, monkeypatch, name, options, lang, body, line):
    needed = options.get("needs")
    if needed and importlib.util.find_spec(needed) is None:
        pytest.skip(f"the example needs {needed}")
    monkeypatch.chdir(folder)
    if "file" in options:
        (folder / options["file"]).write_text(body, encoding="utf-8")
    elif lang == "pycon":
        _run_doctest(name, body, line)
    elif lang == "console":
        _run_console(body, line, folder)
    else:
        pytest.fail(f"README line {line}: no way to run a {lang!r} block")


def _run_doctest(name, body, line):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(body, {}, f"README {name}", str(ROOT / "README.md"), line - 1)
    assert test.examples, f"README line {line}: no >>> lines"
    output = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=output.append)
    assert runner.failures == 0, "".join(output)


def _run_console(body, line, folder):
    environment = dict(os.environ)
    # The commands of the environment this interpreter belongs to come first.
    environment["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), environment["PATH"]])
    commands = []
    for text in body.splitlines():
        if text.startswith("$ "):
            commands.append((text[2:], []))
        else:
            commands[-1][1].append(text)
    checker = doctest.OutputChecker()
    for command, expected in commands:
        done = subprocess.run(
            ["bash", "-c", command],
            cwd=folder,
            env=environment,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            timeout=120,
        )
        shown = done.stdout.decode("utf-8", "replace")
        wanted = "".join(f"{text}\n" for text in expected)
        assert checker.check_output(wanted, shown, doctest.ELLIPSIS), (
            f"README line {line}: $ {command}\nexpected:\n{wanted}got:\n{shown}"
        )
