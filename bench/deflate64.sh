#!/usr/bin/env bash
# bench/deflate64.sh [--runs N] [--work DIR] [--unzipper PATH]
#
# Deflate64 extraction: an archive of the benchmark corpus made by 7-Zip with Deflate64,
# extracted into /dev/shm by unzipper, 7zz and unzip taking turns, run after run. Prints the
# median wall time of each and unzipper's ratio to the fastest peer (goal: at most 0.9).
#
#   --runs N        timed runs per tool (default 5)
#   --work DIR      where the benchmark corpus lives (default /tmp/perfbase; build it with
#                   ../shared/bench/make-corpus.sh); corpus-deflate64.zip is made there once
#   --unzipper P    the unzipper binary (default build/cli/unzipper)
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=5 UNZIPPER=$REPO/build/cli/unzipper USAGE_LINES=10
bench_options "$@"
bench_corpus
ARCHIVE=$WORK/corpus-deflate64.zip
if [ ! -f "$ARCHIVE" ]; then
  (cd "$WORK" && 7zz a -tzip -mm=Deflate64 -mx5 "$ARCHIVE" corpus >/dev/null)
fi

/usr/bin/python3 - "$RUNS" "$ARCHIVE" "$UNZIPPER" <<'EOF'
import shutil, statistics, subprocess, sys, time
runs, archive, unzipper = int(sys.argv[1]), sys.argv[2], sys.argv[3]
dest = "/dev/shm/quorbin-deflate64"
tools = {
    "unzipper": lambda: [unzipper, "-qq", "-o", archive, "-d", dest],
    "7zz": lambda: ["7zz", "x", "-y", "-bd", "-o" + dest, archive],
    "unzip": lambda: ["unzip", "-qq", "-o", archive, "-d", dest],
}
times = {name: [] for name in tools}
names = list(tools)
for r in range(runs):
    for name in names[r % len(names):] + names[:r % len(names)]:
        shutil.rmtree(dest, ignore_errors=True)
        start = time.perf_counter()
        proc = subprocess.run(tools[name](), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        times[name].append(time.perf_counter() - start)
        if proc.returncode != 0:
            sys.stderr.write(f"{name}: exit {proc.returncode}: {proc.stderr.decode(errors='replace')[-300:]}\n")
shutil.rmtree(dest, ignore_errors=True)
med = {n: statistics.median(t) for n, t in times.items()}
best = min(med[n] for n in med if n != "unzipper")
print(f"Deflate64 extraction of {archive} ({runs} runs, medians, alternating)")
for n in names:
    print(f"  {n:9} {med[n]:7.3f} s  {med[n] / best:5.2f}x the fastest peer")
EOF
