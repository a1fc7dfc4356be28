"""How many threads a call runs on, as the package's functions take it."""

from __future__ import annotations

import os


def thread_count(threads: int | None) -> int:
    """None means every core this process may use (``os.sched_getaffinity``)."""
    if threads is None:
        return max(1, len(os.sched_getaffinity(0)))
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError("threads must be at least 1")
    return threads
