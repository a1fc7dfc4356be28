"""What `vrex inspect` prints: the summary, the schema and the first rows of a table."""

from __future__ import annotations

from typing import Any

from wcwidth import iter_graphemes, wcswidth

_NUMERIC_TYPES = {
    "Int",
    "Long",
    "Float",
    "Double",
    "Decimal",
    "DateTime",
    "Date",
    "Time",
    "TimeSpan",
}
_CELL_WIDTH = 30


def describe(table: Any, name: str, size: int) -> str:
    """The summary and the schema table that `vrex inspect` prints."""
    major, minor = table.version
    columns = list(table)
    lines = [
        f"file     {name} ({size:,} bytes, version {major}.{minor})",
        f"rows     {table.num_rows:,}",
        f"slices   {describe_slices(table.slice_rows)}",
        f"columns  {len(columns):,}",
        "",
    ]
    rows = [["name", "type", "invalid"]]
    rows += [[printable(c.name), c.type, f"{c.invalid_count:,}"] for c in columns]
    lines += align(rows, right={2})
    return "\n".join(lines)


def describe_slices(slice_rows: list[int]) -> str:
    """'3 of 1,000 rows each', or runs such as '10,000 rows x 4, 17 rows' when they differ."""
    if not slice_rows:
        return "0"
    if len(slice_rows) == 1:
        return f"1 of {slice_rows[0]:,} rows"
    if len(set(slice_rows)) == 1:
        return f"{len(slice_rows):,} of {slice_rows[0]:,} rows each"
    runs: list[list[int]] = []
    for rows in slice_rows:
        if runs and runs[-1][0] == rows:
            runs[-1][1] += 1
        else:
            runs.append([rows, 1])
    shown = [
        f"{rows:,} row{'s' if rows != 1 else ''}" + (f" x {count:,}" if count > 1 else "")
        for rows, count in runs[:6]
    ]
    if len(runs) > 6:
        shown.append("...")
    return f"{len(slice_rows):,}: " + ", ".join(shown)


def format_head(table: Any, count: int) -> str:
    """The first `count` rows as an aligned text table; invalid cells are blank."""
    columns = list(table)
    count = min(count, table.num_rows)
    rows = [[printable(c.name) for c in columns]]
    cells_by_column = [_head_cells(column, count) for column in columns]
    rows += [[cells[k] for cells in cells_by_column] for k in range(count)]
    right = {k for k, c in enumerate(columns) if c.type in _NUMERIC_TYPES}
    return "\n".join(align(rows, right))


def _head_cells(column: Any, count: int) -> list[str]:
    values = column.values[:count]
    values = values.tolist() if hasattr(values, "tolist") else list(values)
    invalid = column.is_invalid[:count]
    cells = []
    for value, flagged in zip(values, invalid, strict=True):
        if flagged:
            cells.append("")
        elif isinstance(value, (bytes, bytearray)):
            cells.append(shorten(value.hex()))
        else:
            cells.append(shorten(printable(str(value))))
    return cells


def printable(text: str) -> str:
    """Control characters such as line feeds shown escaped, so a cell stays on its line."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def shorten(text: str, limit: int = _CELL_WIDTH) -> str:
    """`text` cut to at most `limit` terminal columns, with an ellipsis where it was cut.

    Cut between whole characters as a terminal draws them (a letter with its
    marks, an emoji sequence), and reading no further than the cut: a cell may
    hold megabytes.
    """
    kept: list[str] = []
    used = 0
    for grapheme in iter_graphemes(text):
        columns = width(grapheme)
        if used + columns > limit:
            while kept and used > limit - 1:  # room for the ellipsis
                used -= width(kept.pop())
            return "".join(kept) + "…"
        kept.append(grapheme)
        used += columns
    return text


def width(text: str) -> int:
    """Terminal columns of a printable text: wide East Asian characters take two, marks none."""
    if text.isascii():
        return len(text)
    # Escaped by `printable`, nothing left here is a control character (width -1).
    return max(wcswidth(text), 0)


def align(rows: list[list[str]], right: set[int]) -> list[str]:
    """Rows of cells as lines of columns two spaces apart; columns in `right` right-aligned."""
    widths = [max(width(row[k]) for row in rows) for k in range(len(rows[0]))] if rows[0] else []
    lines = []
    for row in rows:
        cells = []
        for k, cell in enumerate(row):
            padding = " " * (widths[k] - width(cell))
            cells.append(padding + cell if k in right else cell + padding)
        lines.append("  ".join(cells).rstrip())
    return lines
