#!/usr/bin/env bash
# Builds one fuzz target with libFuzzer (clang, ASan + UBSan) and fuzzes it.
#
#   fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#
# TARGET is the name without "fuzz_" (ismatch, directory, extract, decoders, gamelist,
# pictures). The committed seeds fuzz/corpus/TARGET are read, never written; what the run
# learns goes to build-fuzz/corpus/TARGET, and crashes, leaks and hangs to
# build-fuzz/artifacts/TARGET/. Minimise a finding with
#   build-fuzz/fuzz/fuzz_TARGET -minimize_crash=1 -runs=100000 FILE
# and keep it in fuzz/crashes/TARGET/.
#
# Environment: QUORBIN_FUZZ_BUILD_DIR (default build-fuzz); QUORBIN_FUZZ_MERGE=1 merges the
# inputs that add coverage back into fuzz/corpus/TARGET after the run (keep it small).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  echo "usage: fuzz/run.sh TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2

build=${QUORBIN_FUZZ_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORBIN_BUILD_FUZZ=ON -DQUORBIN_FUZZ_ENGINE=libfuzzer -DQUORBIN_SANITIZE=ON \
  -DQUORBIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "fuzz_$target" -j2

exe=$build/fuzz/fuzz_$target
work=$build/corpus/$target
artifacts=$build/artifacts/$target
mkdir -p "$work" "$artifacts" "fuzz/corpus/$target"

options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=20 -rss_limit_mb=2048
         -artifact_prefix="$artifacts/")
case $target in
  directory|extract|decoders) options+=(-dict=fuzz/zip.dict) ;;
  ismatch) options+=(-dict=fuzz/ismatch.dict) ;;
esac
case $target in
  directory|extract) options+=(-max_len=65536) ;;
  decoders) options+=(-max_len=32768) ;;
  ismatch|gamelist) options+=(-max_len=4096) ;;
  pictures) options+=(-max_len=262144) ;;
esac

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen

status=0
"$exe" "${options[@]}" "$@" "$work" "fuzz/corpus/$target" || status=$?

if [ "${QUORBIN_FUZZ_MERGE:-0}" = 1 ]; then
  "$exe" -merge=1 "${options[@]}" "fuzz/corpus/$target" "$work"
fi
exit $status
