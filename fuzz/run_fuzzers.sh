#!/usr/bin/env bash
# Runs every libFuzzer target of a PELARUNE_FUZZ build for SECONDS each over its seeds and
# corpora, printing one summary line per target; a crash, leak or hang fails the run and
# leaves the input in BUILD/artifacts/. SECONDS=0 only replays the inputs once.
#
#   fuzz/run_fuzzers.sh BUILD SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=$2

# 16 KiB holds the seeds (a few stream lines each) with room to grow; a unit slower than
# 10 s counts as a hang.
options=(-timeout=10 -max_len=16384 -dict=fuzz/stream.dict -print_final_stats=1)
if ((seconds > 0)); then
  options+=(-max_total_time="$seconds")
else
  options+=(-runs=0)
fi

mkdir -p "$build/artifacts"
for binary in "$build"/fuzz_*; do
  [[ -x $binary && -f $binary ]] || continue
  name=$(basename "$binary")
  target=${name#fuzz_}
  work=fuzz/corpus-work/$target # new inputs land in the first folder
  mkdir -p "$work"
  log=$build/$name.log
  started=$SECONDS
  if ! "$binary" "${options[@]}" -artifact_prefix="$build/artifacts/$target-" \
    "$work" "$build/seeds/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$name: FAILED; the input is in $build/artifacts/ (see $log)." >&2
    echo "Fix the defect, then add the input to fuzz/corpus/$target/ and a named test." >&2
    exit 1
  fi
  stat() { sed -n "s/^stat::$1: *//p" "$log"; }
  corpus=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -n 1)
  printf '%s: %d s, %d executions, %d new inputs, %s (distinct by coverage), peak RSS %d MB\n' \
    "$name" $((SECONDS - started)) "$(stat number_of_executed_units)" \
    "$(stat new_units_added)" "${corpus:-corp: 0}" "$(stat peak_rss_mb)"
done
