#!/usr/bin/python3
"""methods.py: the timing half of methods.sh (which builds the archives).

Extraction of the benchmark corpus and of big/mixed.tar from archives that 7-Zip made with
the methods decoded by libraries, against the peers that read them: 7-Zip for every method,
Info-ZIP unzip where it decodes the method (BZip2). Same rules as race.py: fresh folder under
/dev/shm per run, tools taking turns, medians, ratios measured in the same run.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "peers"))
from race import fmt_table, fresh, race, run_once, tree_manifest, expected_manifest  # noqa: E402


def check(dest, name, work):
    if name.startswith("corpus"):
        want = expected_manifest(os.path.join(work, "corpus.manifest"))
        got = tree_manifest(os.path.join(dest, "corpus"))
    else:
        want = [("mixed.tar", l.split()[0]) for l in open(os.path.join(work, "SHA256SUMS"))
                if l.split()[1] == "big/mixed.tar"]
        got = tree_manifest(os.path.join(dest, "big"))
    return f"content OK ({len(got)} files)" if got == want else "CONTENT MISMATCH"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--unzipper", required=True)
    ap.add_argument("--only")
    a = ap.parse_args()
    shm = tempfile.mkdtemp(prefix="quorbin-methods-", dir="/dev/shm")
    names = ["big-bzip2.zip", "corpus-bzip2.zip", "big-lzma.zip", "corpus-lzma.zip"]
    if a.only:
        names = [n for n in names if any(o in n for o in a.only.split(","))]
    print(f"unzipper: {a.unzipper}\nwork: {a.work}; {a.runs} runs per tool, medians\n")
    try:
        for name in names:
            path = os.path.join(a.work, "methods", name)
            with open(path, "rb") as f:
                while f.read(1 << 22):
                    pass
            tools = {"unzipper -o -qq": [a.unzipper, "-o", "-qq", path],
                     "7zz x -y": ["7zz", "x", "-y", path]}
            if "bzip2" in name:
                tools["unzip -o -qq"] = ["unzip", "-o", "-qq", path]
            dest = lambda n: os.path.join(shm, n.split()[0])
            d = dest("unzipper")
            fresh(d)
            run_once(tools["unzipper -o -qq"], d)
            content = check(d, name, a.work)
            res = race(tools, a.runs, dest, fresh)
            baseline = "unzip -o -qq" if "unzip -o -qq" in tools else "7zz x -y"
            fmt_table(f"extract {name} ({os.path.getsize(path) / 1e6:.1f} MB)", res, baseline)
            ours = statistics.median(res["unzipper -o -qq"]["wall"])
            fastest = min((statistics.median(res[p]["wall"]), p) for p in tools if p != "unzipper -o -qq")
            verdict = "yes" if ours <= 0.9 * fastest[0] else "NO"
            print(f"  x fastest peer ({fastest[1]}): {ours / fastest[0]:.2f}; goal <= 0.90: {verdict}")
            print(f"  unzipper result: {content}\n")
            for n in tools:
                shutil.rmtree(dest(n), ignore_errors=True)
    finally:
        shutil.rmtree(shm, ignore_errors=True)


if __name__ == "__main__":
    main()
