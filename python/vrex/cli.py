"""The `vrex` command: convert CSV files into .vrex files, and look inside .vrex files.

Exit status: 0 when every file converted (or the file was read), 1 when some
file failed (each failure is one line on standard error), 2 for usage errors.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from collections.abc import Sequence
from concurrent.futures import ProcessPoolExecutor, as_completed
from concurrent.futures.process import BrokenProcessPool

from vrex.conversion import (
    DEFAULT_CHUNK_SIZE,
    DEFAULT_SAMPLE_ROWS,
    STDIO,
    FileResult,
    check_targets,
    convert_file,
    default_target,
    os_reason,
    read_source,
)
from vrex.progress import Progress

_UINT64_MAX = 2**64 - 1


def _whole_number(minimum: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        if value > _UINT64_MAX:
            raise argparse.ArgumentTypeError(f"must be at most {_UINT64_MAX}")
        return value

    return parse


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("vrex")
    except Exception:  # running from a source tree without package metadata
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vrex",
        description="Convert CSV files into VREX binary table files, and look inside them.",
        epilog="Run 'vrex COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"vrex {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    convert = commands.add_parser(
        "convert",
        help="convert CSV files into .vrex files",
        description=(
            "Convert CSV files (UTF-8, first row the column names) into .vrex files.\n"
            "Several files convert in parallel, one process per core. Each output is\n"
            "written under a temporary name and renamed when complete, so a failed\n"
            "conversion leaves no partial file and an existing output untouched."
        ),
        epilog=(
            "examples:\n"
            "  vrex convert orders.csv                 writes orders.vrex\n"
            "  vrex convert data/*.csv                 each beside its input, in parallel\n"
            "  vrex convert orders.csv -o out.vrex\n"
            "  vrex convert data/*.csv -o converted/   the outputs into a folder\n"
            "  vrex convert - < orders.csv > orders.vrex\n"
            "\n"
            "exit status: 0 all converted, 1 some failed (one line each on standard\n"
            "error), 2 usage error"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    convert.set_defaults(command_parser=convert)
    convert.add_argument(
        "inputs", nargs="+", metavar="IN.csv", help="CSV files to convert; '-' reads standard input"
    )
    convert.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help=(
            "the output file, '-' for standard output, or an existing folder to write "
            "into (a folder when there are several inputs); default: beside each "
            "input, its name with the suffix replaced by .vrex (standard output for "
            "standard input)"
        ),
    )
    convert.add_argument(
        "--chunk-size",
        type=_whole_number(1),
        default=DEFAULT_CHUNK_SIZE,
        metavar="N",
        help=f"rows per table slice (default {DEFAULT_CHUNK_SIZE})",
    )
    convert.add_argument(
        "--sample-rows",
        type=_whole_number(0),
        default=DEFAULT_SAMPLE_ROWS,
        metavar="N",
        help=f"rows read to choose each column's type (default {DEFAULT_SAMPLE_ROWS})",
    )

    inspect = commands.add_parser(
        "inspect",
        help="show the schema, rows, slices and invalid cells of a .vrex file",
        description=(
            "Show what a .vrex file holds: size, rows, table slices, and per column its "
            "name, type and count of invalid cells."
        ),
    )
    inspect.add_argument(
        "file", metavar="FILE.vrex", help="the file to read; '-' reads standard input"
    )
    inspect.add_argument(
        "--head",
        type=_whole_number(0),
        default=0,
        metavar="N",
        help="also print the first N rows as a table (invalid cells are blank)",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    try:
        if options.command == "convert":
            return _convert_command(options)
        return _inspect_command(options)
    except KeyboardInterrupt:
        print("vrex: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`vrex inspect ... | head`); say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def _plan(inputs: list[str], output: str | None) -> tuple[list[tuple[str, str]], str | None]:
    """(source, target) pairs for the inputs, or the usage error that prevents them."""
    if inputs.count(STDIO) > 1:
        return [], "standard input ('-') can be read only once"
    into_folder = output is not None and output != STDIO and os.path.isdir(output)
    if len(inputs) == 1 and not into_folder:
        source = inputs[0]
        if output is None:
            output = STDIO if source == STDIO else default_target(source)
        elif output.endswith(os.sep):
            return [], f"no such folder: {output}"
        return [(source, output)], None
    if output is not None and not into_folder:
        return [], "with several inputs, -o must name an existing folder"
    if STDIO in inputs:
        return [], "standard input has no file name: convert it on its own"
    return [(source, default_target(source, output)) for source in inputs], None


def _convert_command(options: argparse.Namespace) -> int:
    pairs, problem = _plan(options.inputs, options.output)
    problem = problem or check_targets(pairs)
    if problem is None and any(target == STDIO for _, target in pairs) and sys.stdout.isatty():
        problem = "refusing to write binary data to a terminal: give -o FILE or redirect the output"
    if problem is not None:
        options.command_parser.error(problem)  # exits with status 2, as argparse's own errors

    progress = Progress(pairs, sys.stderr) if sys.stderr.isatty() else None
    sizes = (options.chunk_size, options.sample_rows)
    failed = 0
    # Closed on the way out, so an interrupt waits for the workers to clean up.
    with contextlib.closing(_run(pairs, sizes, progress)) as results:
        for result in results:
            if not result.ok:
                failed += 1
                line = f"vrex: {_display_name(result.source)}: {result.error}"
                if progress is not None:
                    progress.note(line)
                else:
                    print(line, file=sys.stderr)
            if progress is not None:
                progress.advance(result)
    if progress is not None:
        progress.finish()
    return 1 if failed else 0


def _display_name(source: str) -> str:
    return "<stdin>" if source == STDIO else source


def _run(pairs: list[tuple[str, str]], sizes: tuple[int, int], progress: Progress | None):
    """Results as the conversions finish: in this process for one file, else in a pool."""
    if len(pairs) == 1:
        source, target = pairs[0]
        if progress is not None:
            progress.draw()
        yield convert_file(
            source, target, *sizes, progress=progress.partial if progress is not None else None
        )
        return
    workers = min(os.cpu_count() or 1, len(pairs))
    executor = ProcessPoolExecutor(max_workers=workers, initializer=_start_worker)
    try:
        futures = {
            executor.submit(_convert_in_worker, source, target, *sizes): (source, target)
            for source, target in pairs
        }
        if progress is not None:
            progress.draw()
        for future in as_completed(futures):
            source, target = futures[future]
            try:
                yield future.result()
            except BrokenProcessPool:
                yield FileResult(source, target, "the conversion process died (out of memory?)")
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


# A worker turns Ctrl-C into KeyboardInterrupt only while it converts (so the
# conversion can remove its temporary file); idle, it waits for the pool to end.
_converting = False


def _start_worker() -> None:
    signal.signal(signal.SIGINT, _on_worker_interrupt)


def _on_worker_interrupt(signum, frame) -> None:
    if _converting:
        raise KeyboardInterrupt


def _convert_in_worker(source: str, target: str, chunk_size: int, sample_rows: int) -> FileResult:
    global _converting
    _converting = True
    try:
        # Files convert side by side, one thread each.
        return convert_file(source, target, chunk_size, sample_rows, threads=1)
    except KeyboardInterrupt:
        return FileResult(source, target, "interrupted")
    finally:
        _converting = False


def _inspect_command(options: argparse.Namespace) -> int:
    import vrex
    from vrex.display import describe, format_head

    name = _display_name(options.file)
    try:
        data = read_source(options.file)
    except OSError as error:
        print(f"vrex: {name}: cannot read: {os_reason(error)}", file=sys.stderr)
        return 1
    try:
        table = vrex.read(data)
    except ValueError as error:
        print(f"vrex: {name}: {error}", file=sys.stderr)
        return 1
    print(describe(table, name, len(data)))
    if options.head and table.columns:
        print()
        print(format_head(table, options.head))
    return 0


if __name__ == "__main__":  # pragma: no cover - `python -m vrex` goes through __main__
    sys.exit(main())
