"""Peak memory of a conversion against the bound the design promises:
the input (read in place), twice the output (built once, copied once into the
result) and what one chunk needs. Each case runs in a fresh process.

    python bench/scaling/memory.py [--gigabytes 1]
"""

import argparse
import json
import subprocess
import sys
import textwrap

CASE = textwrap.dedent("""
    import gc, json, random, resource, sys
    from _vrex import csv_to_vrex

    def rss_mb():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024

    kind, size = sys.argv[1], float(sys.argv[2])
    rng = random.Random(7)
    if kind in ("numeric", "fails-at-end"):
        block = "".join(
            f"{rng.randint(-(2**31), 2**31 - 1)},{rng.randint(-(2**62), 2**62)},"
            f"{rng.uniform(-1e6, 1e6):.6f},"
            f"{rng.choice(['true', 'false'])},{rng.randint(0, 999)},{rng.random():.4e}\\n"
            for _ in range(100_000)).encode()
        data = b"a,b,c,d,e,f\\n" + block * max(1, int(size * 2**30 / len(block)))
        if kind == "fails-at-end":
            data += b"1,2,3,true,5,\\xff\\n"
    else:  # padded: 20,000 names, then 20,000 one-field rows
        data = (",".join(f"c{i}" for i in range(20000)) + "\\n" + "1\\n" * 20000).encode()
    gc.collect()
    before = rss_mb()
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    try:
        out = csv_to_vrex(data)
        output_mb = len(out) / 2**20
        del out
    except ValueError:
        output_mb = 0.0
    gc.collect()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"input_mb": len(data) / 2**20, "output_mb": output_mb,
                      "rss_before_mb": before, "rss_after_mb": rss_mb(),
                      "peak_mb": max(peak, peak_before)}))
""")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gigabytes", type=float, default=1.0)
    args = parser.parse_args()
    print(
        "| case | input MB | output MB | peak RSS MB | bound MB (RSS before + 2x output + 64) "
        "| RSS after - before MB |"
    )
    print("|---|---:|---:|---:|---:|---:|")
    for kind in ("numeric", "fails-at-end", "padded"):
        result = subprocess.run(
            [sys.executable, "-c", CASE, kind, str(args.gigabytes)],
            capture_output=True,
            text=True,
            check=True,
        )
        r = json.loads(result.stdout)
        bound = r["rss_before_mb"] + 2 * r["output_mb"] + 64
        print(
            f"| {kind} | {r['input_mb']:.0f} | {r['output_mb']:.0f} | {r['peak_mb']:.0f} | "
            f"{bound:.0f} | {r['rss_after_mb'] - r['rss_before_mb']:+.1f} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
