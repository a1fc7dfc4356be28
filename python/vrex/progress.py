"""The one-line progress bar `vrex convert` draws on a terminal: files and CSV bytes done."""

from __future__ import annotations

import os
from typing import IO

from vrex.conversion import STDIO, FileResult


class Progress:
    """Redrawn in place with a carriage return; other lines are printed above it."""

    def __init__(self, pairs: list[tuple[str, str]], stream: IO[str]) -> None:
        self._stream = stream
        self._files = len(pairs)
        self._sizes = {source: _size(source) for source, _ in pairs}
        self._total_bytes = sum(self._sizes.values())
        self._done_files = 0
        self._done_bytes = 0
        self._failed = 0
        self._written_bytes = 0
        self._partial_bytes = 0

    def partial(self, done: int, total: int) -> None:
        """Bytes done of the one file converting in this process."""
        self._partial_bytes = done
        self.draw()
        self._partial_bytes = 0

    def advance(self, result: FileResult) -> None:
        self._done_files += 1
        self._done_bytes += self._sizes.get(result.source, 0)
        self._written_bytes += result.output_bytes
        self._failed += not result.ok
        self.draw()

    def note(self, line: str) -> None:
        self._clear()
        print(line, file=self._stream)
        self.draw()

    def draw(self) -> None:
        width = _terminal_width(self._stream)
        done_bytes = self._done_bytes + self._partial_bytes
        share = (
            done_bytes / self._total_bytes
            if self._total_bytes
            else (self._done_files / self._files)
        )
        text = (
            f" {self._done_files}/{self._files} files"
            f"  {_megabytes(done_bytes)}/{_megabytes(self._total_bytes)} MB"
        )
        if self._failed:
            text += f"  {self._failed} failed"
        bar_width = max(10, min(40, width - len(text) - 8))
        filled = round(share * bar_width)
        line = f"vrex [{'#' * filled}{'.' * (bar_width - filled)}]{text}"
        # Padded to the full width: the line it overwrites may have been longer.
        self._stream.write("\r" + line[: width - 1].ljust(width - 1))
        self._stream.flush()

    def finish(self) -> None:
        self._clear()
        converted = self._done_files - self._failed
        summary = (
            f"vrex: converted {converted} of {self._files} file{'s' if self._files != 1 else ''}"
            f" ({_megabytes(self._done_bytes)} MB of CSV into {_megabytes(self._written_bytes)} MB)"
        )
        print(summary, file=self._stream)

    def _clear(self) -> None:
        self._stream.write("\r" + " " * (_terminal_width(self._stream) - 1) + "\r")


def _size(source: str) -> int:
    if source == STDIO:
        return 0
    try:
        return os.path.getsize(source)
    except OSError:
        return 0


def _megabytes(count: int) -> str:
    return f"{count / 1e6:.1f}"


def _terminal_width(stream: IO[str]) -> int:
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (OSError, ValueError):
        return 80
