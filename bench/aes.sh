#!/usr/bin/env bash
# bench/aes.sh [--runs N] [--work DIR] [--unzipper PATH]
#
# WinZip AES-256 + Deflate extraction: big/mixed.tar of the benchmark corpus packed by 7-Zip
# (-mm=Deflate -mx5 -mem=AES256), extracted by unzipper and by `7zz x`, and the same archive
# made without encryption extracted by unzipper. The three take turns run after run (the first
# of a round moves on by one every round) into a fresh folder in /dev/shm; medians and the
# ratios, measured in the same run, are printed. Goals: at most 0.9x 7zz's time, at most 1.2x
# our time on the archive without encryption.
#
#   --runs N       timed runs per contestant (default 7)
#   --work DIR     the benchmark corpus (built with ../shared/bench/make-corpus.sh when absent,
#                  default /tmp/perfbase); the two archives go to DIR/archives
#   --unzipper P   the binary (default build/cli/unzipper)
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=7 UNZIPPER=$REPO/build/cli/unzipper USAGE_LINES=14
bench_options "$@"
command -v 7zz >/dev/null || { echo "aes.sh: 7zz is missing (Debian package 7zip)" >&2; exit 2; }
bench_corpus
mkdir -p "$WORK/archives"
aes=$WORK/archives/big-aes256.zip plain=$WORK/archives/big-7zz.zip
if [ ! -f "$aes" ] || [ ! -f "$plain" ]; then
  rm -f "$aes" "$plain"
  (cd "$WORK/big" && 7zz a -tzip -mm=Deflate -mx5 -mem=AES256 -pbench -bso0 -bsp0 "$aes" mixed.tar &&
                     7zz a -tzip -mm=Deflate -mx5 -bso0 -bsp0 "$plain" mixed.tar)
fi
# Race a copy, so that a rebuild during the run does not mix the timings.
cp "$UNZIPPER" "$WORK/unzipper.aes-race"
U=$WORK/unzipper.aes-race

exec /usr/bin/python3 - "$RUNS" "$U" "$aes" "$plain" "$WORK/big/mixed.tar" <<'PY'
import filecmp, shutil, statistics, subprocess, sys, tempfile, time
runs, u, aes, plain, source = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
contestants = [
    ("unzipper, AES-256 + Deflate", lambda d: [u, "-qq", "-P", "bench", "-d", d, aes]),
    ("7zz x, AES-256 + Deflate", lambda d: ["7zz", "x", "-pbench", "-y", "-bso0", "-bsp0", "-o" + d, aes]),
    ("unzipper, Deflate (no encryption)", lambda d: [u, "-qq", "-d", d, plain]),
]
times = {name: [] for name, _ in contestants}
for r in range(runs):
    for k in range(len(contestants)):
        name, argv = contestants[(r + k) % len(contestants)]
        d = tempfile.mkdtemp(prefix="aes-race-", dir="/dev/shm")
        try:
            start = time.perf_counter()
            subprocess.run(argv(d), check=True, stdin=subprocess.DEVNULL)
            times[name].append(time.perf_counter() - start)
            if r == 0 and not filecmp.cmp(d + "/mixed.tar", source, shallow=False):
                sys.exit(f"{name}: the extracted file differs from its source")
        finally:
            shutil.rmtree(d)
med = {n: statistics.median(t) for n, t in times.items()}
names = [n for n, _ in contestants]
print(f"{runs} runs each, alternating, big/mixed.tar ({__import__('os').path.getsize(source) / 1e6:.0f} MB), medians:")
for n in names:
    print(f"  {n:36s} {med[n]:.3f} s")
print(f"  ours AES / 7zz AES:        {med[names[0]] / med[names[1]]:.2f}  (goal <= 0.9)")
print(f"  ours AES / ours unencrypted: {med[names[0]] / med[names[2]]:.2f}  (goal <= 1.2)")
PY
