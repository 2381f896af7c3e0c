# Sourced by the race scripts of bench/: where things are, the options they share, and the
# benchmark corpus, built once the same way for all of them.
#
#   --runs N        timed runs per contestant
#   --work DIR      where the corpus and archives live (default /tmp/perfbase)
#   --unzipper P    the unzipper binary
#   --only LIST     comma-separated names to run (each script says which)
#   -h, --help      the calling script's own header
#
# The caller sets RUNS, UNZIPPER and USAGE_LINES (the header lines its help prints) before
# calling bench_options "$@".
HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
SHARED=${QUORBIN_SHARED_DIR:-$REPO/../shared}
WORK=/tmp/perfbase
ONLY=""

bench_options() {
  while [ $# -gt 0 ]; do
    case "$1" in
      --runs) RUNS=$2; shift 2 ;;
      --work) WORK=$2; shift 2 ;;
      --unzipper) UNZIPPER=$2; shift 2 ;;
      --only) ONLY=$2; shift 2 ;;
      -h|--help) sed -n "2,${USAGE_LINES}p" "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
      *) echo "$(basename "$0"): unknown argument $1 (try --help)" >&2; exit 2 ;;
    esac
  done
}

# Builds the corpus in WORK unless its digests are those published. Where the machine's
# packages differ from the pinned image the corpus differs a little from them: it is timed all
# the same (ratios are measured in the same run), so a mismatch is said, not fatal.
bench_corpus() {
  if [ -f "$WORK/SHA256SUMS" ] &&
     diff -q <(sort "$SHARED/bench/expected-sha256.txt") <(sort "$WORK/SHA256SUMS") >/dev/null 2>&1; then
    return
  fi
  if [ -f "$WORK/SHA256SUMS" ] && [ -d "$WORK/corpus" ] && [ -f "$WORK/big/mixed.tar" ]; then
    echo "note: the corpus in $WORK differs from the published digests (package versions)"
    return
  fi
  echo "Building the benchmark corpus in $WORK (a few minutes)..."
  "$SHARED/bench/make-corpus.sh" --check "$WORK" ||
    echo "note: the corpus differs from the published digests (package versions)"
}
