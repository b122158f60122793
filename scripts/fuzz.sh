#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for SECONDS (default 60). Each target starts from
# its committed inputs (fuzz/seeds/NAME, hand-made, and fuzz/corpus/NAME, what earlier runs
# found) and grows a working corpus in build/fuzz-corpus/NAME, which later runs on this machine
# start from too. With --keep the new inputs are merged into fuzz/corpus/NAME to be committed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
keep=false
for arg in "$@"; do
  case "$arg" in
    --keep) keep=true ;;
    [0-9]*) seconds=$arg ;;
    *) echo "usage: scripts/fuzz.sh [SECONDS] [--keep]" >&2; exit 2 ;;
  esac
done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in build/fuzz/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work="build/fuzz-corpus/$name"
  mkdir -p "$work" "fuzz/corpus/$name"
  inputs=("fuzz/corpus/$name")
  [ -d "fuzz/seeds/$name" ] && inputs+=("fuzz/seeds/$name")
  echo "== $name for ${seconds} s"
  "$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=0 "$work" "${inputs[@]}" \
    2>&1 | tail -n 2
  if $keep; then
    "$target" -merge=1 "fuzz/corpus/$name" "$work" 2>&1 | tail -n 1
  fi
done
