#!/usr/bin/env bash
# bench/peers.sh [--runs N] [--work DIR] [--unzipper PATH] [--only NAME,...]
#
# The race: times unzipper against the extractors people use today (Info-ZIP unzip, 7-Zip,
# bsdtar) on the shared benchmark archives, extracting into /dev/shm, the tools taking turns
# run after run. Prints median wall time, median peak memory and the ratios against unzip,
# then the same for listing archives of 65,535, 200,000 and 1,000,000 entries.
#
#   --runs N        timed runs per tool and archive (default 5)
#   --work DIR      where the corpus and archives live; built when absent (default /tmp/perfbase)
#   --unzipper P    the unzipper binary (default: $UNZIPPER, else build-cli/cli/unzipper, else
#                   build/cli/unzipper); when none exists the race runs with the peers alone
#   --only LIST     comma-separated archive names to run (corpus,big,many65k,stored)
#
# Absolute times drift by 20% on shared machines; the ratios, measured in the same run, carry.
set -euo pipefail
source "$(dirname "$0")/common.sh"
PY=/usr/bin/python3
RUNS=5 UNZIPPER=${UNZIPPER:-} USAGE_LINES=17
bench_options "$@"

# The peers, installed from apt when missing (the same packages scripts/deps.sh lists).
need=()
command -v unzip  >/dev/null || need+=(unzip)
command -v 7zz    >/dev/null || need+=(7zip)
command -v bsdtar >/dev/null || need+=(libarchive-tools)
command -v zip    >/dev/null || need+=(zip)
[ -x /usr/bin/time ]           || need+=(time)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing the peers: ${need[*]}"
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

# The corpus and the three shared archives: built once, then reused.
bench_corpus
if ! { [ -f "$WORK/archives/SHA256SUMS" ] &&
       [ -f "$WORK/archives/corpus.zip" ] && [ -f "$WORK/archives/big.zip" ] &&
       [ -f "$WORK/archives/many65k.zip" ]; }; then
  echo "Building the benchmark archives in $WORK/archives..."
  "$SHARED/bench/make-archives.sh" "$WORK"
fi

# Our own additions: the corpus with every entry stored (the copy path without a decoder), and
# an archive of exactly 65,535 entries, the most a classic end record counts, for the listing.
export LC_ALL=C TZ=UTC
if [ ! -f "$WORK/archives/corpus-stored.zip" ]; then
  echo "Building $WORK/archives/corpus-stored.zip..."
  rm -f "$WORK/archives/corpus-stored.zip.tmp"
  (cd "$WORK" && find corpus -mindepth 1 | sort | zip -X -q -0 -@ "$WORK/archives/corpus-stored.zip.tmp")
  mv "$WORK/archives/corpus-stored.zip.tmp" "$WORK/archives/corpus-stored.zip"
fi
# Past the classic limit, Zip64 directories of 200,000 and 1,000,000 entries, for the memory
# a directory takes per entry.
for count in 65535 200000 1000000; do
  if [ ! -f "$WORK/archives/list$count.zip" ]; then
    echo "Building $WORK/archives/list$count.zip..."
    "$PY" "$HERE/peers/make_list_archive.py" "$WORK/archives/list$count.zip" $count
  fi
done

if [ -z "$UNZIPPER" ]; then
  for c in "$REPO/build-cli/cli/unzipper" "$REPO/build/cli/unzipper"; do
    [ -x "$c" ] && { UNZIPPER=$c; break; }
  done
fi
if [ -n "$UNZIPPER" ] && [ ! -x "$UNZIPPER" ]; then
  echo "peers.sh: $UNZIPPER is not an executable" >&2; exit 2
fi
[ -z "$UNZIPPER" ] && echo "note: no unzipper binary found; racing the peers alone"
if [ -n "$UNZIPPER" ]; then
  # Race a copy, so that a rebuild during the run neither disturbs nor mixes the timings.
  echo "unzipper under test: $UNZIPPER"
  cp "$UNZIPPER" "$WORK/unzipper.race"
  UNZIPPER=$WORK/unzipper.race
fi

exec "$PY" "$HERE/peers/race.py" --work "$WORK" --runs "$RUNS" \
  ${UNZIPPER:+--unzipper "$UNZIPPER"} ${ONLY:+--only "$ONLY"}
