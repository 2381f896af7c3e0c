#!/usr/bin/env python3
"""Runs bench_inflate and prints MB/s of output per decoder and the ratios of ours to the peers.

usage: bench/inflate_ratios.py BUILD_DIR [extra benchmark flags]
The peers run in the same process, interleaved per workload and repeated in rounds
(QUORBIN_BENCH_ROUNDS, default 5), so drift hits all alike; the figures are medians.
Extra flags go to the benchmark, e.g. --benchmark_filter='/L6/' for level 6 alone.
"""
import json
import statistics
import subprocess
import sys

build = sys.argv[1] if len(sys.argv) > 1 else "build"
cmd = [f"{build}/bench/bench_inflate", "--benchmark_format=json"] + sys.argv[2:]
data = json.loads(subprocess.run(cmd, check=True, capture_output=True, text=True).stdout)
rates = {}
for b in data["benchmarks"]:
    if "bytes_per_second" not in b:
        continue
    _, impl, workload, level = b["name"].split("/")[:4]
    rates.setdefault((workload, level, impl), []).append(b["bytes_per_second"] / 1e6)
rates = {k: statistics.median(v) for k, v in rates.items()}
print(f"{'workload':8} {'level':5} {'ours':>7} {'zlib':>7} {'libdefl':>7} {'ours/zlib':>9} {'ours/libdeflate':>15} {'vs zlib+crc':>11} {'vs libdeflate+crc':>17}")
for workload in ("mixed", "corpus"):
    for level in ("L1", "L6", "L9"):
        r = lambda impl: rates.get((workload, level, impl))
        if r("ours") is None:
            continue
        o, z, l, zc, lc = r("ours"), r("zlib"), r("libdeflate"), r("zlib+crc"), r("libdeflate+crc")
        fmt = lambda a, b: f"{a / b:.2f}x" if a and b else "-"
        print(f"{workload:8} {level:5} {o:7.0f} {z or 0:7.0f} {l or 0:7.0f} {fmt(o, z):>9} {fmt(o, l):>15} {fmt(o, zc):>11} {fmt(o, lc):>17}")
print("MB/s of decoded output (CPU time), medians of the rounds; ours includes the CRC-32 and the")
print("16000-byte writes. Goal: 'vs libdeflate+crc' at least 1.00x on mixed and corpus at L6.")
