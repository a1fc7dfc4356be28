"""The text `vrex inspect` lays out: widths in terminal columns, cut cells, aligned columns."""

import pytest

from vrex.display import align, describe_slices, printable, shorten, width

# (text, columns on a terminal)
WIDTHS = [
    ("", 0),
    ("plain", 5),
    ("Zürich", 6),  # precomposed
    ("Zu\u0308rich", 6),  # combining diaeresis
    ("東京", 4),  # wide
    ("ｱｲ", 2),  # halfwidth katakana
    ("कुमार", 4),  # vowel signs: one spacing (ा), one not (ु)
    ("\u2764\ufe0f", 2),  # a heart in emoji presentation
    ("\U0001f600", 2),  # emoji
    ("a\\nb", 4),  # an escaped line feed is four printable characters
]


@pytest.mark.parametrize("text, columns", WIDTHS)
def test_width_counts_terminal_columns(text, columns):
    assert width(text) == columns


@pytest.mark.parametrize(
    "text, shown",
    [
        ("x" * 30, "x" * 30),
        ("x" * 31, "x" * 29 + "…"),
        ("東" * 15, "東" * 15),
        # A wide character that would end past the limit is left out whole.
        ("a" + "東" * 15, "a" + "東" * 14 + "…"),
        ("e\u0301" * 31, "e\u0301" * 29 + "…"),
    ],
)
def test_shorten_keeps_a_cell_within_its_columns(text, shown):
    assert shorten(text) == shown
    assert width(shorten(text)) <= 30


@pytest.mark.parametrize(
    "text, shown",
    [
        ("tab\there", "tab\\there"),
        ("cr\r\nlf", "cr\\r\\nlf"),
        ("bell\x07", "bell\\x07"),
        ("zero\u200bwidth", "zero\\u200bwidth"),
        ("fine ü 東", "fine ü 東"),
    ],
)
def test_printable_escapes_what_would_break_a_line_or_hide(text, shown):
    assert printable(text) == shown


def test_align_pads_by_columns_not_characters():
    rows = [["name", "n"], ["東京", "1"], ["Zu\u0308rich", "22"]]
    assert align(rows, right={1}) == [
        "name     n",
        "東京     1",
        "Zu\u0308rich  22",
    ]


@pytest.mark.parametrize(
    "slice_rows, text",
    [
        ([], "0"),
        ([7], "1 of 7 rows"),
        ([1000] * 4, "4 of 1,000 rows each"),
        ([10_000] * 4 + [17], "5: 10,000 rows x 4, 17 rows"),
        ([2, 1], "2: 2 rows, 1 row"),
        ([1, 2] * 4, "8: 1 row, 2 rows, 1 row, 2 rows, 1 row, 2 rows, ..."),
    ],
)
def test_describe_slices(slice_rows, text):
    assert describe_slices(slice_rows) == text
