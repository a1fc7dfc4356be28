"""Huge pages for a large result only from the third call of a quick series on:
the first call, the second, a call after a pause, and one after other code
touched fresh memory get small pages."""

import os
import platform
import sys
import time
from pathlib import Path

import pytest

from _vrex import csv_to_vrex

PAUSE = 1.2  # seconds: longer than a series allows between calls

pytestmark = [
    pytest.mark.skipif(
        sys.platform != "linux" or not Path("/sys/kernel/mm/transparent_hugepage").exists(),
        reason="huge pages are asked for on Linux with transparent huge pages only",
    ),
    # The sanitizer's allocator moves a result that shrinks, away from the
    # mapping that was advised.
    pytest.mark.skipif(
        "libasan" in os.environ.get("LD_PRELOAD", ""), reason="results move under the sanitizer"
    ),
]


def asked_for_huge_pages(address: int) -> bool:
    """Whether the mapping holding `address` was advised to use huge pages."""
    with open("/proc/self/smaps") as smaps:
        inside = False
        for line in smaps:
            first = line.split(maxsplit=1)[0]
            if not first.endswith(":"):
                start, end = (int(bound, 16) for bound in first.split("-"))
                inside = start <= address < end
            elif inside and first == "VmFlags:":
                return "hg" in line.split()[1:]
    return False


# About 12 MB of output, well above the smallest result that is advised.
DATA = b"a,b\n" + b"123456,789\n" * 1_500_000


def next_call_asks() -> bool:
    result = csv_to_vrex(DATA)
    return asked_for_huge_pages(id(result) + len(result) // 2)


def test_huge_pages_from_the_third_call_of_a_series_on():
    time.sleep(PAUSE)  # whatever series earlier tests made is over
    assert [next_call_asks() for _ in range(4)] == [False, False, True, True]
    time.sleep(PAUSE)
    assert [next_call_asks() for _ in range(3)] == [False, False, True]


def test_a_series_starts_again_after_other_code_touched_fresh_memory():
    time.sleep(PAUSE)
    assert [next_call_asks() for _ in range(3)] == [False, False, True]
    # Another library's work between two calls: 64 MB written afresh, on
    # small pages (transparent huge pages only where asked for), is far more
    # than an eighth of the last call's room.
    fresh = b"\x01" * (64 << 20)
    del fresh
    assert [next_call_asks() for _ in range(3)] == [False, False, True]


@pytest.mark.skipif(platform.libc_ver()[0] != "glibc", reason="the heap's reuse is glibc's")
def test_a_result_where_an_earlier_one_got_huge_pages_gets_the_calls_own():
    # Once a block of the result's size is freed after being mapped on its
    # own, the allocator keeps blocks of that size in its heap: the next
    # results lie where earlier ones were advised to use huge pages.
    block = b"\x01" * (2 * len(DATA))
    del block
    time.sleep(PAUSE)
    assert [next_call_asks() for _ in range(3)] == [False, False, True]
    time.sleep(PAUSE)
    assert [next_call_asks() for _ in range(2)] == [False, False]
