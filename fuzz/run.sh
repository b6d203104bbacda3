#!/usr/bin/env bash
# Runs every fuzz target of a CALVERA_FUZZ build for a fixed number of runs over its seed corpus,
# one line per target. Fails on the first crash, leak, time-out or sanitizer report; the input that
# caused it is kept in BUILD/fuzz-artifacts/ and the end of the log is shown.
#   fuzz/run.sh BUILD_DIR [SCALE]     SCALE multiplies the run counts (default 1)
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: fuzz/run.sh BUILD_DIR [SCALE]}
scale=${2:-1}

# target runs: about a minute in all on an idle core.
targets=(
  "engine_responses_fuzz 40000"
  "image_check_fuzz 30000"
  "lzss_decode_fuzz 400000"
  "lzss_roundtrip_fuzz 40000"
  "version_fuzz 200000"
  "targets_table_fuzz 20000"
)

artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
status=0
for entry in "${targets[@]}"; do
  read -r name runs <<<"$entry"
  runs=$((runs * scale))
  binary="$build/fuzz/$name"
  if [ ! -x "$binary" ]; then
    echo "$name: not built"
    status=1
    continue
  fi
  # New inputs go to a scratch folder; the committed seeds stay as they are.
  scratch=$(mktemp -d)
  log="$artifacts/$name.log"
  start=$(date +%s)
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
     "$binary" -runs="$runs" -seed=1 -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
       -artifact_prefix="$artifacts/$name-" -print_final_stats=1 \
       "$scratch" "fuzz/corpus/$name" >"$log" 2>&1; then
    line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | sed -E 's/^#[0-9]+[[:space:]]+DONE[[:space:]]+//; s/ lim:.*//')
    echo "$name: $runs runs, ${line}, $(( $(date +%s) - start )) s: ok"
  else
    echo "$name: FAILED after $(( $(date +%s) - start )) s (log $log)"
    grep -E 'ERROR|SUMMARY|check failed|Test unit written' "$log" | head -8
    status=1
  fi
  rm -rf "$scratch"
done
exit $status
