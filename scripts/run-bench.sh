#!/usr/bin/env bash
# Runs every benchmark binary and collects the ratio lines they print.
# usage: run-bench.sh BUILD_DIR
set -euo pipefail
build=${1:?build dir}
shopt -s nullglob
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for b in "$build"/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true | tee -a "$out"
done
echo
echo "== ratios (measured side by side in this run)"
grep -E '^RATIO ' "$out" | sed 's/^RATIO /  /' || echo "  (none)"
