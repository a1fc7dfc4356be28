"""Peak memory of a conversion against the bound the design promises:
the input (read in place), the output (written in place into the result) and
what one chunk needs. Each case runs in a fresh process; the call's system
time and minor page faults show what touching fresh pages costs.

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

    def status_mb(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field):
                    return int(line.split()[1]) / 1024

    def rss_mb():
        return status_mb("VmRSS:")

    def reset_peak():
        # Resets the peak resident size (VmHWM), so building the input does
        # not count.
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")

    kind, size = sys.argv[1], float(sys.argv[2])
    rng = random.Random(7)
    if kind in ("numeric", "fails-at-end"):
        block = "".join(
            f"{rng.randint(-(2**31), 2**31 - 1)},{rng.randint(-(2**62), 2**62)},"
            f"{rng.uniform(-1e6, 1e6):.6f},"
            f"{rng.choice(['true', 'false'])},{rng.randint(0, 999)},{rng.random():.4e}\\n"
            for _ in range(100_000)).encode()
        data = b"".join([b"a,b,c,d,e,f\\n"] + [block] * max(1, int(size * 2**30 / len(block))))
        if kind == "fails-at-end":
            data += b"1,2,3,true,5,\\xff\\n"
    else:  # padded: 20,000 names, then 20,000 one-field rows
        data = (",".join(f"c{i}" for i in range(20000)) + "\\n" + "1\\n" * 20000).encode()
    gc.collect()
    before = rss_mb()
    reset_peak()
    start = resource.getrusage(resource.RUSAGE_SELF)
    try:
        out = csv_to_vrex(data)
        output_mb = len(out) / 2**20
    except ValueError:
        out, output_mb = None, 0.0
    end = resource.getrusage(resource.RUSAGE_SELF)
    del out
    gc.collect()
    peak = status_mb("VmHWM:")
    print(json.dumps({"input_mb": len(data) / 2**20, "output_mb": output_mb,
                      "rss_before_mb": before, "rss_after_mb": rss_mb(),
                      "peak_mb": peak,
                      "system_s": end.ru_stime - start.ru_stime,
                      "user_s": end.ru_utime - start.ru_utime,
                      "minor_faults": end.ru_minflt - start.ru_minflt}))
""")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gigabytes", type=float, default=1.0)
    args = parser.parse_args()
    print(
        "| case | input MB | output MB | peak RSS MB | bound MB (RSS before + output + 64) "
        "| RSS after - before MB | user s | system s | minor faults |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    numeric_output_mb = 0.0
    for kind in ("numeric", "fails-at-end", "padded"):
        result = subprocess.run(
            [sys.executable, "-c", CASE, kind, str(args.gigabytes)],
            capture_output=True,
            text=True,
            check=True,
        )
        r = json.loads(result.stdout)
        if kind == "numeric":
            numeric_output_mb = r["output_mb"]
        # A call that fails at the last record has written all but that row.
        written_mb = numeric_output_mb if kind == "fails-at-end" else r["output_mb"]
        bound = r["rss_before_mb"] + written_mb + 64
        print(
            f"| {kind} | {r['input_mb']:.0f} | {r['output_mb']:.0f} | {r['peak_mb']:.0f} | "
            f"{bound:.0f} | {r['rss_after_mb'] - r['rss_before_mb']:+.1f} | "
            f"{r['user_s']:.2f} | {r['system_s']:.2f} | {r['minor_faults']:,} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
