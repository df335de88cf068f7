#!/usr/bin/env bash
# Runs every libFuzzer harness of a fuzz build for a bounded time each.
# usage: run-fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?build dir}
seconds=${2:?seconds per harness}
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
harnesses=("$build"/fuzz/*_fuzz)
if [ "${#harnesses[@]}" -eq 0 ]; then
  echo "run-fuzz: no harnesses in $build/fuzz" >&2
  exit 1
fi
for h in "${harnesses[@]}"; do
  name=$(basename "$h")
  seeds="$root/fuzz/corpus/$name"
  work="$root/build/fuzz-corpus/$name"
  mkdir -p "$work"
  echo "run-fuzz: $name for ${seconds}s"
  args=(-max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -print_final_stats=1)
  if [ -d "$seeds" ]; then
    "$h" "${args[@]}" "$work" "$seeds" 2>"$work.log" || { tail -50 "$work.log"; exit 1; }
  else
    "$h" "${args[@]}" "$work" 2>"$work.log" || { tail -50 "$work.log"; exit 1; }
  fi
  grep -E 'stat::number_of_executed_units' "$work.log" | sed "s/^/run-fuzz: $name /"
done
echo "run-fuzz: ${#harnesses[@]} harnesses passed"
