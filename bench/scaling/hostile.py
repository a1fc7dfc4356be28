"""Memory and speed of one conversion on hostile 100 MB shapes: long records,
a huge header, a sample covering the whole file. Each case runs in a fresh
process; peak memory is the resident peak over the loaded input.

    python bench/scaling/hostile.py [--megabytes 100]
"""

import argparse
import json
import subprocess
import sys
import textwrap

CASE = textwrap.dedent("""
    import json, sys, time
    from _vrex import csv_to_vrex

    def status(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field):
                    return int(line.split()[1]) / 1024

    kind, size = sys.argv[1], int(float(sys.argv[2]) * 1_000_000)
    sample_rows, chunk_size = 1000, 10000
    if kind == "commas":
        data = b"a\\n" + b"," * size
    elif kind == "short-fields":
        data = b"a,b\\n" + b"xy," * (size // 3)
    elif kind == "huge-header":
        names = size // 8
        data = ",".join(f"c{i}" for i in range(names)).encode() + b"\\n1\\n"
    elif kind == "whole-sample":
        data = b"a,b,c\\n" + b"12,3.5,xy\\n" * (size // 10)
        sample_rows = 10**9
    elif kind == "unclosed-quote":
        data = b"a,b\\n1,\\"" + b"x" * size
    elif kind == "blank-lines":
        data = b"a\\n" + b"\\r\\n" * (size // 2) + b"1\\n"
    elif kind == "chunk-size-1":
        data = b"a,b\\n" + b"1,x\\n" * (size // 4)
        chunk_size = 1
    before = status("VmRSS:")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    start = time.perf_counter()
    output = csv_to_vrex(data, chunk_size, sample_rows)
    seconds = time.perf_counter() - start
    peak = status("VmHWM:")
    print(json.dumps({"input_mb": len(data) / 1e6, "output_mb": len(output) / 1e6,
                      "peak_over_input_mb": peak - before, "seconds": seconds}))
""")

KINDS = [
    "commas",
    "short-fields",
    "huge-header",
    "whole-sample",
    "unclosed-quote",
    "blank-lines",
    "chunk-size-1",
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=float, default=100)
    parser.add_argument("kinds", nargs="*", default=KINDS)
    args = parser.parse_args()
    print(
        "| input | output MB | peak over input MB | allowance MB (2 x output + 64) "
        "| MB/s of input + output |"
    )
    print("|---|---:|---:|---:|---:|")
    for kind in args.kinds:
        run = subprocess.run(
            [sys.executable, "-c", CASE, kind, str(args.megabytes)], capture_output=True, text=True
        )
        if run.returncode != 0:
            print(f"| {kind} | failed: {run.stderr.strip().splitlines()[-1]} | | | |")
            continue
        case = json.loads(run.stdout)
        speed = (case["input_mb"] + case["output_mb"]) / case["seconds"]
        allowance = 2 * case["output_mb"] + 64
        print(
            f"| {kind} | {case['output_mb']:,.0f} | {case['peak_over_input_mb']:,.0f} | "
            f"{allowance:,.0f} | {speed:,.0f} |"
        )


if __name__ == "__main__":
    main()
