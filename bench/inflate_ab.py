#!/usr/bin/env python3
"""Compares two builds of bench_inflate, taking turns, and prints each row's best MB/s.

usage: bench/inflate_ab.py BEFORE/bench_inflate AFTER/bench_inflate [RUNS] [FILTER]

Each run executes both binaries once (0.3 s per benchmark). The best of the runs is kept per
row: on this shared machine interference only ever slows a run down, so the best of 6 runs
agrees within about 1% between two copies of the same binary, where medians scatter by 3%.
The libdeflate rows are the same code in both binaries and show what that agreement is.
RUNS defaults to 6, FILTER to level 6 of ours, ours-t, ours-mem and libdeflate+crc.
"""
import json
import os
import subprocess
import sys


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    before, after = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 6
    filt = sys.argv[4] if len(sys.argv) > 4 else \
        "Inflate/(ours|ours-t|ours-mem|libdeflate\\+crc)/(mixed|corpus)/L6/round:0"
    best = {before: {}, after: {}}
    env = dict(os.environ, QUORBIN_BENCH_ROUNDS="1")
    for _ in range(runs):
        for binary in (before, after):
            out = subprocess.run([binary, "--benchmark_format=json", f"--benchmark_filter={filt}",
                                  "--benchmark_min_time=0.3"],
                                 capture_output=True, text=True, env=env, check=True).stdout
            for b in json.loads(out)["benchmarks"]:
                if "bytes_per_second" not in b:
                    continue
                row = "/".join(b["name"].split("/")[1:3])
                best[binary][row] = max(best[binary].get(row, 0.0), b["bytes_per_second"] / 1e6)
    print(f"{'row':24} {'before':>8} {'after':>8} after/before  (best MB/s of {runs} runs)")
    for row in sorted(best[before]):
        a, b = best[before][row], best[after].get(row, 0.0)
        print(f"{row:24} {a:8.0f} {b:8.0f} {b / a:8.3f}")


if __name__ == "__main__":
    main()
