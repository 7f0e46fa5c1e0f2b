#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time from its seed
# corpus, as a regression check. New inputs go to a scratch folder, never into
# the repository. A target with a dictionary (fuzz/<name>.dict) gets it.
# Usage: scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in build/fuzz/fuzz/fuzz_*; do
  name=$(basename "$target")
  seeds=fuzz/corpus/${name#fuzz_}
  dict=()
  if [[ -f fuzz/${name#fuzz_}.dict ]]; then
    dict=(-dict="fuzz/${name#fuzz_}.dict")
  fi
  mkdir -p "$scratch/$name"
  echo "== $name ($seconds s)"
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$scratch/$name-" \
    "${dict[@]}" "$scratch/$name" "$seeds" 2>&1 |
    grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec|==|SUMMARY|Done)" || true
  if ls "$scratch/$name"-crash-* "$scratch/$name"-leak-* "$scratch/$name"-timeout-* >/dev/null 2>&1; then
    echo "fuzz: $name found a failing input:"; ls "$scratch/$name"-*
    exit 1
  fi
done
