"""Checks that no input shape has a quadratic path: for each hostile shape,
10x the input should take about 10x the time.

    python bench/scaling/scaling.py [--repeat 3]

Prints a Markdown table: the shape, the two sizes, the best time of each and
the ratio of the times (about 10 is linear; 100 would be quadratic)."""

import argparse
import time

from _vrex import csv_to_vrex


def blank_lines(n):
    return b"a\n" + b"\n" * n, {}


def unclosed_quote(n):
    return b'a\n"' + b"x,\n" * (n // 3), {}


def one_big_field(n):
    return b"a\n" + b"x" * n + b"\n", {}


def wide_header(n):
    columns = n // 8
    header = ",".join(f"c{i}" for i in range(columns)).encode() + b"\n"
    return header + b"1,2,3\n" * 3, {}


def only_commas(n):
    return b"," * n, {}


def chunk_size_one(n):
    rows = n // 8
    return b"n\n" + b"1234567\n" * rows, {"chunk_size": 1}


def sample_larger_than_file(n):
    rows = n // 8
    return b"n\n" + b"1234567\n" * rows, {"sample_rows": 10**12}


SHAPES = [
    ("blank lines", blank_lines, 1_000_000),
    ("one quoted field never closed", unclosed_quote, 10_000_000),
    ("one field of N bytes", one_big_field, 10_000_000),
    ("header of N/8 columns, 3 rows", wide_header, 160_000),
    ("only commas", only_commas, 1_000_000),
    ("chunk_size 1, N/8 rows", chunk_size_one, 800_000),
    ("sample larger than the file", sample_larger_than_file, 8_000_000),
]


def best_time(data, kwargs, repeat):
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        try:
            csv_to_vrex(data, **kwargs)
        except ValueError:
            pass
        best = min(best, time.perf_counter() - started)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print("| shape | small input | time | 10x input | time | ratio |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, make, n in SHAPES:
        small, kwargs = make(n)
        large, _ = make(10 * n)
        t_small = best_time(small, kwargs, args.repeat)
        t_large = best_time(large, kwargs, args.repeat)
        print(
            f"| {name} | {len(small):,} B | {t_small * 1000:.1f} ms | {len(large):,} B | "
            f"{t_large * 1000:.1f} ms | {t_large / t_small:.1f} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
