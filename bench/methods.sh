#!/usr/bin/env bash
# bench/methods.sh [--runs N] [--work DIR] [--unzipper PATH] [--only bzip2,lzma,big,corpus]
#
# Extraction of the benchmark corpus (13,636 files) and of big/mixed.tar (114 MB) from
# archives that 7-Zip made with BZip2 and LZMA, against `7zz x` and, for BZip2, Info-ZIP
# unzip. The corpus is built as bench/peers.sh builds it (--work, default /tmp/perfbase); the
# archives go to WORK/methods. Prints medians and our time against the fastest peer's.
set -euo pipefail
source "$(dirname "$0")/common.sh"
RUNS=5 UNZIPPER=${UNZIPPER:-$REPO/build/cli/unzipper} USAGE_LINES=7
bench_options "$@"
bench_corpus
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
