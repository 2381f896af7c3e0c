#!/usr/bin/python3
"""race.py: the timing half of peers.sh (which builds the inputs and installs the peers).

Each tool extracts each archive into a fresh folder under /dev/shm, the tools taking turns
(the first tool of a round moves on by one every round), so drift of the machine spreads over
all of them. Wall time is measured here around the child; peak memory (maximum resident set)
comes from GNU time, which forks from a small process, so every tool carries the same small
overhead. Cleaning the folder between runs is not timed.
"""
import argparse
import hashlib
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

TIME = "/usr/bin/time"


def run_once(argv, cwd):
    """Run argv in cwd with output discarded; return (wall seconds, peak KiB, exit code)."""
    with tempfile.NamedTemporaryFile("r", prefix="peers-rss-", suffix=".txt") as rss:
        start = time.perf_counter()
        proc = subprocess.run([TIME, "-f", "%M", "-o", rss.name] + argv, cwd=cwd,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        lines = [l for l in open(rss.name).read().splitlines() if l.strip()]
        # GNU time writes "Command exited with non-zero status N" before the figure.
        peak = int(lines[-1]) if lines and lines[-1].strip().isdigit() else 0
    if proc.returncode != 0:
        sys.stderr.write(f"  ! {' '.join(argv)}: exit {proc.returncode}: "
                         f"{proc.stderr.decode(errors='replace')[-300:]}\n")
    return wall, peak, proc.returncode


def tree_manifest(root):
    """Sorted sha256 lines of every file under root, in sha256sum's format."""
    out = []
    for dirpath, _, files in os.walk(root):
        for f in files:
            p = os.path.join(dirpath, f)
            h = hashlib.sha256()
            with open(p, "rb") as fh:
                for block in iter(lambda: fh.read(1 << 20), b""):
                    h.update(block)
            out.append((os.path.relpath(p, root), h.hexdigest()))
    out.sort()
    return out


def expected_manifest(path):
    rows = []
    for line in open(path):
        digest, name = line.rstrip("\n").split("  ", 1)
        rows.append((name[2:] if name.startswith("./") else name, digest))
    rows.sort()
    return rows


def check_tree(dest, archive, work):
    """Compare what an extraction left in dest with the corpus it came from."""
    if archive in ("corpus.zip", "corpus-stored.zip"):
        want = expected_manifest(os.path.join(work, "corpus.manifest"))
        got = tree_manifest(os.path.join(dest, "corpus"))
    elif archive == "many65k.zip":
        want = expected_manifest(os.path.join(work, "many65k.manifest"))
        got = tree_manifest(os.path.join(dest, "many65k"))
    elif archive == "big.zip":
        want = [("mixed.tar", l.split()[0]) for l in open(os.path.join(work, "SHA256SUMS"))
                if l.split()[1] == "big/mixed.tar"]
        got = tree_manifest(dest)
    else:
        return "not checked"
    if got == want:
        return f"content OK ({len(got)} files)"
    missing = len(set(want) - set(got))
    extra = len(set(got) - set(want))
    return f"CONTENT MISMATCH: {missing} files missing or different, {extra} unexpected"


def fmt_table(title, results, baseline):
    base_t = statistics.median(results[baseline]["wall"]) if baseline in results else None
    base_m = statistics.median(results[baseline]["peak"]) if baseline in results else None
    print(title)
    print(f"  {'tool':<16}{'wall s':>9}{'x unzip':>9}{'peak MiB':>10}{'x unzip':>9}   runs (s)")
    for name, r in results.items():
        t = statistics.median(r["wall"])
        m = statistics.median(r["peak"]) / 1024
        rt = f"{t / base_t:.2f}" if base_t else "-"
        rm = f"{m * 1024 / base_m:.2f}" if base_m else "-"
        runs = " ".join(f"{x:.3f}" for x in r["wall"])
        bad = "  (non-zero exit)" if any(r["codes"]) else ""
        print(f"  {name:<16}{t:>9.3f}{rt:>9}{m:>10.1f}{rm:>9}   {runs}{bad}")


def verdict(results, ours, baseline, peers, time_goal):
    if ours not in results or baseline not in results:
        return
    t = statistics.median(results[ours]["wall"])
    m = statistics.median(results[ours]["peak"])
    bt = statistics.median(results[baseline]["wall"])
    bm = statistics.median(results[baseline]["peak"])
    fastest = min((statistics.median(results[p]["wall"]), p) for p in peers if p in results)
    ok = lambda c: "yes" if c else "NO"
    parts = [f"wall <= {time_goal:.1f}x unzip: {ok(t <= time_goal * bt)} ({t / bt:.2f}x)",
             f"<= fastest peer ({fastest[1]} {fastest[0]:.3f} s): {ok(t <= fastest[0])}"]
    if m:
        parts.append(f"peak memory <= unzip: {ok(m <= bm)} ({m / 1024:.1f} vs {bm / 1024:.1f} MiB)")
    print("  goals: " + "; ".join(parts))


def race(items, runs, cwd_for, prepare=None):
    """items: {name: argv}. Returns {name: {"wall": [...], "peak": [...], "codes": [...]}}."""
    names = list(items)
    results = {n: {"wall": [], "peak": [], "codes": []} for n in names}
    for r in range(runs):
        order = names[r % len(names):] + names[:r % len(names)]
        for n in order:
            cwd = cwd_for(n)
            if prepare:
                prepare(cwd)
            wall, peak, code = run_once(items[n], cwd)
            results[n]["wall"].append(wall)
            results[n]["peak"].append(peak)
            results[n]["codes"].append(code)
    return {n: results[n] for n in names}


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--unzipper")
    ap.add_argument("--only")
    a = ap.parse_args()
    # A polite kill cleans up /dev/shm like Ctrl-C does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    arch = os.path.join(a.work, "archives")
    shm = tempfile.mkdtemp(prefix="quorbin-peers-", dir="/dev/shm")
    archives = {"big": "big.zip", "corpus": "corpus.zip", "stored": "corpus-stored.zip",
                "many65k": "many65k.zip"}
    if a.only:
        wanted = a.only.split(",")
        archives = {k: v for k, v in archives.items() if k in wanted}

    print(f"unzipper: {a.unzipper or '(none)'}")
    print(f"work: {a.work}; extracting into {shm}; {a.runs} runs per tool, medians\n")
    try:
        for key, name in archives.items():
            path = os.path.join(arch, name)
            with open(path, "rb") as f:  # into the page cache before the first timed run
                while f.read(1 << 22):
                    pass
            tools = {}
            if a.unzipper:
                tools["unzipper -o -qq"] = [a.unzipper, "-o", "-qq", path]
                tools["unzipper --jobs 1"] = [a.unzipper, "--jobs", "1", "-o", "-qq", path]
            tools["unzip -o -qq"] = ["unzip", "-o", "-qq", path]
            tools["7zz x -y"] = ["7zz", "x", "-y", path]
            tools["bsdtar -xf"] = ["bsdtar", "-xf", path]
            dest = lambda n: os.path.join(shm, n.replace(" ", "_"))
            check = ""
            if a.unzipper:
                d = dest("unzipper")
                fresh(d)
                run_once(tools["unzipper -o -qq"], d)
                check = check_tree(d, name, a.work)
            res = race(tools, a.runs, dest, fresh)
            size = os.path.getsize(path) / 1e6
            fmt_table(f"extract {name} ({size:.1f} MB)", res, "unzip -o -qq")
            verdict(res, "unzipper -o -qq", "unzip -o -qq", ["unzip -o -qq", "7zz x -y", "bsdtar -xf"], 0.8)
            if a.unzipper:
                # Every core (the default) against one job, in the same run.
                goal = 1.0 if key == "big" else 0.6
                t = statistics.median(res["unzipper -o -qq"]["wall"])
                t1 = statistics.median(res["unzipper --jobs 1"]["wall"])
                m = statistics.median(res["unzipper -o -qq"]["peak"]) / 1024
                m1 = statistics.median(res["unzipper --jobs 1"]["peak"]) / 1024
                # The workers share one directory: each extra one may add its work blocks
                # (about 0.3 MiB) and its thread's stack and heap, nothing that grows with
                # the entries.
                extra = 0.4 * ((os.cpu_count() or 1) - 1)
                print(f"  every core vs --jobs 1: {t / t1:.2f}x (goal <= {goal:.1f}x: "
                      f"{'yes' if t <= goal * t1 else 'NO'}); peak {m:.1f} vs {m1:.1f} MiB "
                      f"(goal <= +{extra:.1f} MiB: {'yes' if m <= m1 + extra else 'NO'})")
            if check:
                print(f"  unzipper result: {check}")
            print()
            for n in tools:
                shutil.rmtree(dest(n), ignore_errors=True)

        if not a.only or "list" in a.only.split(","):
            # Listings of ever larger directories: peak memory grows with the entries held.
            # The 1,000,000-entry one runs fewer rounds (unzip -l alone takes seconds there).
            for count in (65535, 200000, 1000000):
                path = os.path.join(arch, f"list{count}.zip")
                if not os.path.exists(path):
                    continue
                tools = {}
                if a.unzipper:
                    tools["unzipper -l"] = [a.unzipper, "-l", path]
                tools["unzip -l"] = ["unzip", "-l", path]
                tools["unzip -Z1"] = ["unzip", "-Z1", path]
                if count == 65535:
                    tools["7zz l"] = ["7zz", "l", path]
                    tools["bsdtar -tf"] = ["bsdtar", "-tf", path]
                runs = a.runs if count < 1000000 else max(1, min(a.runs, 3))
                res = race(tools, runs, lambda n: shm)
                fmt_table(f"list list{count}.zip ({count:,} entries)", res, "unzip -l")
                verdict(res, "unzipper -l", "unzip -l", ["unzip -l", "7zz l", "bsdtar -tf"], 0.8)
                if a.unzipper and "unzip -Z1" in res:
                    t = statistics.median(res["unzipper -l"]["wall"])
                    bt = statistics.median(res["unzip -Z1"]["wall"])
                    m = statistics.median(res["unzipper -l"]["peak"]) / 1024
                    print(f"  against unzip -Z1: wall {t / bt:.2f}x; unzipper peak {m:.1f} MiB "
                          f"({m * 1048576 / count:.0f} bytes an entry, the process included)")
                print()
    finally:
        shutil.rmtree(shm, ignore_errors=True)


if __name__ == "__main__":
    main()
