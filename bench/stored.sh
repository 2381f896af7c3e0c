#!/usr/bin/env bash
# Stored extraction and memory, measured against Info-ZIP unzip in the same run.
#
#   bench/stored.sh [BUILD_DIR]     (default build-stored-bench; configured for release with benchmarks on)
#
# 1. Speed: a 1 GiB archive of stored entries (64 files of 16 MiB, seeded pseudo-random
#    bytes) is extracted into /dev/shm by the component (bench_extract_run) and by
#    `unzip -o -qq`, alternating, 5 rounds each; medians and their ratio are printed.
# 2. Many small files: 20000 stored files of 1000 bytes, the same way (new files are made in
#    place; replacing them would go through a temporary file and a rename).
# 3. Memory: peak resident memory of extracting one stored entry of 2 GiB + 1 byte, and of
#    one of 1 MiB; the component's work blocks are the same whatever the entry size, so the
#    two peaks should match. unzip's figures are shown beside.
#
# Everything is made in a scratch directory under /dev/shm and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-stored-bench}
rounds=${ROUNDS:-5}

command -v unzip >/dev/null || { echo "stored.sh: Info-ZIP unzip is needed" >&2; exit 1; }
command -v zip >/dev/null || { echo "stored.sh: Info-ZIP zip is needed" >&2; exit 1; }
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORBIN_BUILD_BENCH=ON \
  -DQUORBIN_BUILD_TESTS=OFF -DQUORBIN_BUILD_APP=OFF >/dev/null
cmake --build "$build" --target bench_extract_run -j2 >/dev/null
ours=$PWD/$build/bench/bench_extract_run

work=$(mktemp -d /dev/shm/quorbin-stored-XXXXXX)
trap 'rm -rf "$work"' EXIT

# --- 1 GiB of stored entries -------------------------------------------------------------------
mkdir -p "$work/src"
python3 - "$work/src" <<'PY'
import random, sys, os
rng = random.Random(20261207)
for i in range(64):
    with open(os.path.join(sys.argv[1], "part%02d.bin" % i), "wb") as f:
        f.write(rng.randbytes(16 << 20))
PY
(cd "$work/src" && zip -q -0 -r ../big.zip .)
rm -rf "$work/src"

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
now() { date +%s.%N; }

: >"$work/ours.t"; : >"$work/unzip.t"
for r in $(seq "$rounds"); do
  rm -rf "$work/o"; t0=$(now); "$ours" "$work/big.zip" "$work/o" >/dev/null; t1=$(now)
  awk "BEGIN {print $t1 - $t0}" >>"$work/ours.t"
  rm -rf "$work/u"; t0=$(now); unzip -o -qq "$work/big.zip" -d "$work/u"; t1=$(now)
  awk "BEGIN {print $t1 - $t0}" >>"$work/unzip.t"
done
cmp -s "$work/o/part07.bin" "$work/u/part07.bin" || { echo "stored.sh: outputs differ" >&2; exit 1; }
rm -rf "$work/o" "$work/u"
o=$(median <"$work/ours.t"); u=$(median <"$work/unzip.t")
printf 'stored 1 GiB into /dev/shm, median of %d: ours %.3f s, unzip %.3f s, ours/unzip %.2f\n' \
  "$rounds" "$o" "$u" "$(awk "BEGIN {print $o / $u}")"
rm -f "$work/big.zip"

# --- many small files: 20 directories of 1000 stored files of 1000 bytes --------------------------
mkdir -p "$work/src"
python3 - "$work/src" <<'PY'
import random, sys, os
rng = random.Random(7)
for d in range(20):
    os.makedirs(os.path.join(sys.argv[1], "d%02d" % d))
    for i in range(1000):
        with open(os.path.join(sys.argv[1], "d%02d" % d, "f%04d.txt" % i), "wb") as f:
            f.write(rng.randbytes(1000))
PY
(cd "$work/src" && zip -q -0 -r ../many.zip .)
rm -rf "$work/src"
: >"$work/ours.t"; : >"$work/unzip.t"
for r in $(seq "$rounds"); do
  rm -rf "$work/o"; t0=$(now); "$ours" "$work/many.zip" "$work/o" >/dev/null; t1=$(now)
  awk "BEGIN {print $t1 - $t0}" >>"$work/ours.t"
  rm -rf "$work/u"; t0=$(now); unzip -o -qq "$work/many.zip" -d "$work/u"; t1=$(now)
  awk "BEGIN {print $t1 - $t0}" >>"$work/unzip.t"
done
rm -rf "$work/o" "$work/u" "$work/many.zip"
o=$(median <"$work/ours.t"); u=$(median <"$work/unzip.t")
printf '20000 stored files of 1000 bytes, median of %d: ours %.3f s, unzip %.3f s, ours/unzip %.2f\n' \
  "$rounds" "$o" "$u" "$(awk "BEGIN {print $o / $u}")"

# --- peak memory: 2 GiB + 1 stored entry against a 1 MiB one ------------------------------------
mkdir -p "$work/m"
truncate -s $(( (2 << 30) + 1 )) "$work/m/huge.bin"
(cd "$work/m" && zip -q -0 ../huge.zip huge.bin)
rm -f "$work/m/huge.bin"
head -c $((1 << 20)) /dev/zero >"$work/m/small.bin"
(cd "$work/m" && zip -q -0 ../small.zip small.bin)
rm -f "$work/m/small.bin"

peak() {  # peak resident KiB of a command
  /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>&1
  cat "$work/rss"
}
ours_small=$(peak "$ours" "$work/small.zip" "$work/x"); rm -rf "$work/x"
ours_huge=$(peak "$ours" "$work/huge.zip" "$work/x"); rm -rf "$work/x"
unzip_small=$(peak unzip -o -qq "$work/small.zip" -d "$work/x"); rm -rf "$work/x"
unzip_huge=$(peak unzip -o -qq "$work/huge.zip" -d "$work/x"); rm -rf "$work/x"
printf 'peak memory, stored 1 MiB entry: ours %d KiB, unzip %d KiB\n' "$ours_small" "$unzip_small"
printf 'peak memory, stored 2 GiB entry: ours %d KiB, unzip %d KiB (ours 2 GiB / 1 MiB: %.2f)\n' \
  "$ours_huge" "$unzip_huge" "$(awk "BEGIN {print $ours_huge / $ours_small}")"
