"""Huge pages for a large result only from the third call of a quick series on:
the first call, the second, and a call after a pause get small pages."""

import os
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


def test_huge_pages_from_the_third_call_of_a_series_on():
    # About 12 MB of output, well above the smallest result that is advised.
    data = b"a,b\n" + b"123456,789\n" * 1_500_000

    def next_call_asks() -> bool:
        result = csv_to_vrex(data)
        return asked_for_huge_pages(id(result) + len(result) // 2)

    time.sleep(PAUSE)  # whatever series earlier tests made is over
    assert [next_call_asks() for _ in range(4)] == [False, False, True, True]
    time.sleep(PAUSE)
    assert [next_call_asks() for _ in range(3)] == [False, False, True]
