#!/usr/bin/env bash
# bench/test_vs_libdeflate.sh [--runs N] [--work DIR] [--unzipper PATH] [--only NAME,...]
#
# The CPU time of `unzipper -qq -t` against a plain libdeflate program that inflates and
# CRC-checks the same entries (bench_libdeflate_test, bench/LibdeflateTest.cpp), on the shared
# benchmark archives. Contestants per archive: `unzipper -qq -t --jobs 1`, `unzipper -qq -t`
# (every core) and the libdeflate program reading the archive with read(2) and with mmap(2),
# and, where installed, Info-ZIP `unzip -qq -t` for reference, taking turns run after run. CPU
# time is user + system of the child (wait4's rusage, counted in clock ticks: use more runs for
# small archives); the script prints the medians, the ratio against the cheaper of the two
# libdeflate runs, and the same ratio of user time alone. Goal: `--jobs 1` at most 1.10x.
#
#   --runs N        timed runs per contestant and archive (default 5)
#   --work DIR      where the corpus and archives live; built when absent (default /tmp/perfbase)
#   --unzipper P    the unzipper binary (default: $UNZIPPER, else build-rel/cli/unzipper)
#   --only LIST     comma-separated archive names (default corpus,many65k,big; list1000000,
#                   1,000,000 tiny entries, is built as bench/peers.sh builds it when named)
#
# unzipper and the libdeflate program are built in build-rel (release, -DQUORBIN_BUILD_BENCH=ON)
# when absent; LIBDEFLATE_TEST=PATH names another libdeflate program. Both read the whole
# archive, so reading is in both times.
# UNZIPPER_BEFORE=PATH races an earlier unzipper binary too (`-qq -t --jobs 1`), for a before
# and after in the same run.
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=5 UNZIPPER=${UNZIPPER:-} USAGE_LINES=23
bench_options "$@"
[ -n "$UNZIPPER" ] || UNZIPPER=$REPO/build-rel/cli/unzipper
TOOL=${LIBDEFLATE_TEST:-$REPO/build-rel/bench/bench_libdeflate_test}
# What is missing of the release build is built.
for want in "$UNZIPPER:unzipper" "$TOOL:bench_libdeflate_test"; do
  path=${want%:*} target=${want##*:}
  [ -x "$path" ] && continue
  [ "$path" = "$REPO/build-rel/cli/unzipper" ] || [ "$path" = "$REPO/build-rel/bench/bench_libdeflate_test" ] ||
    { echo "test_vs_libdeflate.sh: nothing at $path" >&2; exit 2; }
  echo "Building $path..."
  cmake -S "$REPO" -B "$REPO/build-rel" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORBIN_BUILD_APP=OFF \
    -DQUORBIN_BUILD_BENCH=ON >/dev/null
  cmake --build "$REPO/build-rel" --target "$target" -j2 >/dev/null
done

bench_corpus
if ! { [ -f "$WORK/archives/corpus.zip" ] && [ -f "$WORK/archives/big.zip" ] &&
       [ -f "$WORK/archives/many65k.zip" ]; }; then
  echo "Building the benchmark archives in $WORK/archives..."
  "$SHARED/bench/make-archives.sh" "$WORK"
fi

case ",$ONLY," in
  *,list1000000,*)
    if [ ! -f "$WORK/archives/list1000000.zip" ]; then
      echo "Building $WORK/archives/list1000000.zip..."
      /usr/bin/python3 "$HERE/peers/make_list_archive.py" "$WORK/archives/list1000000.zip" 1000000
    fi ;;
esac

# Race copies, so that a rebuild during the run disturbs nothing.
cp "$UNZIPPER" "$WORK/unzipper.test-race"
cp "$TOOL" "$WORK/libdeflate-test.race"
BEFORE=""
if [ -n "${UNZIPPER_BEFORE:-}" ]; then
  cp "$UNZIPPER_BEFORE" "$WORK/unzipper-before.test-race"
  BEFORE=$WORK/unzipper-before.test-race
  echo "earlier unzipper: $UNZIPPER_BEFORE"
fi
echo "unzipper under test: $UNZIPPER"
uptime

exec /usr/bin/python3 - "$WORK" "$RUNS" "${ONLY:-corpus,many65k,big}" "$BEFORE" <<'PY'
import os, shutil, statistics, subprocess, sys

work, runs, only, before = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(","), sys.argv[4]
ours = os.path.join(work, "unzipper.test-race")
tool = os.path.join(work, "libdeflate-test.race")


def cpu(argv):
    """Run argv with output discarded; return (user + system seconds, user, system)."""
    with open(os.devnull, "wb") as null:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=null, stderr=subprocess.PIPE)
        err = proc.stderr.read()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"{' '.join(argv)}: exit {proc.returncode}: {err.decode(errors='replace')[-300:]}")
    return usage.ru_utime + usage.ru_stime, usage.ru_utime, usage.ru_stime


print(f"median of {runs} runs, CPU seconds (user + system), contestants taking turns")
print(f"{'archive':<16}{'contestant':<24}{'cpu':>8}{'user':>8}{'sys':>8}{'x libdeflate':>14}{'user x':>8}")
for name in only:
    archive = os.path.join(work, "archives", name + ".zip")
    if not os.path.isfile(archive):
        print(f"{name}: {archive} missing, skipped")
        continue
    contestants = [("unzipper -t --jobs 1", [ours, "-qq", "-t", "--jobs", "1", archive]),
                   ("unzipper -t", [ours, "-qq", "-t", archive]),
                   ("libdeflate, read", [tool, archive]),
                   ("libdeflate, mmap", [tool, "--mmap", archive])]
    if before:
        contestants.insert(1, ("before -t --jobs 1", [before, "-qq", "-t", "--jobs", "1", archive]))
    if shutil.which("unzip"):
        contestants.append(("unzip -t", ["unzip", "-qq", "-t", archive]))
    times = {label: [] for label, _ in contestants}
    for r in range(runs):
        # The first contestant of a round moves on by one every round.
        for k in range(len(contestants)):
            label, argv = contestants[(r + k) % len(contestants)]
            times[label].append(cpu(argv))
    libdeflate = ("libdeflate, read", "libdeflate, mmap")
    base = min(statistics.median(t[0] for t in times[k]) for k in libdeflate)
    base_user = min(statistics.median(t[1] for t in times[k]) for k in libdeflate)
    for label, _ in contestants:
        c = statistics.median(t[0] for t in times[label])
        u = statistics.median(t[1] for t in times[label])
        s = statistics.median(t[2] for t in times[label])
        print(f"{name + '.zip':<16}{label:<24}{c:8.3f}{u:8.3f}{s:8.3f}{c / base:13.2f}x{u / base_user:7.2f}x")
    ratio = statistics.median(t[0] for t in times["unzipper -t --jobs 1"]) / base
    print(f"{name + '.zip':<16}goal --jobs 1 at most 1.10x: {'met' if ratio <= 1.10 else 'not met'} "
          f"({ratio:.2f}x)")
PY
