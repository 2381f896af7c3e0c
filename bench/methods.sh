#!/usr/bin/env bash
# bench/methods.sh [--runs N] [--work DIR] [--unzipper PATH] [--only bzip2,lzma,big,corpus]
#
# Extraction of the benchmark corpus (13,636 files) and of big/mixed.tar (114 MB) from
# archives that 7-Zip made with BZip2 and LZMA, against `7zz x` and, for BZip2, Info-ZIP
# unzip. The corpus is built as bench/peers.sh builds it (--work, default /tmp/perfbase); the
# archives go to WORK/methods. Prints medians and our time against the fastest peer's.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
SHARED=${QUORBIN_SHARED_DIR:-$REPO/../shared}
RUNS=5
WORK=/tmp/perfbase
UNZIPPER=${UNZIPPER:-$REPO/build/cli/unzipper}
ONLY=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    --unzipper) UNZIPPER=$2; shift 2 ;;
    --only) ONLY=$2; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "methods.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
done

# Where the machine's packages differ from the pinned image the corpus differs a little from
# the published digests; it is timed all the same, and checked against its own manifest.
if [ ! -f "$WORK/SHA256SUMS" ]; then
  echo "Building the benchmark corpus in $WORK (a few minutes)..."
  "$SHARED/bench/make-corpus.sh" --check "$WORK" ||
    echo "note: the corpus differs from the pinned image's digests (package versions)"
fi
mkdir -p "$WORK/methods"
export LC_ALL=C TZ=UTC
for m in BZip2 LZMA; do
  lower=$(echo "$m" | tr A-Z a-z)
  for what in corpus big; do
    out=$WORK/methods/$what-$lower.zip
    [ -f "$out" ] && continue
    echo "Building $out..."
    rm -f "$out.tmp"
    (cd "$WORK" && 7zz a -tzip -mm=$m -bso0 -bsp0 "$out.tmp" "$what" >/dev/null && mv "$out.tmp" "$out")
  done
done
[ -x "$UNZIPPER" ] || { echo "methods.sh: no unzipper at $UNZIPPER" >&2; exit 2; }
cp "$UNZIPPER" "$WORK/methods/unzipper.race"
exec /usr/bin/python3 "$HERE/methods.py" --work "$WORK" --runs "$RUNS" \
  --unzipper "$WORK/methods/unzipper.race" ${ONLY:+--only "$ONLY"}
