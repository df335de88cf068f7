#!/usr/bin/env bash
# Runs every benchmark binary and collects the ratio lines they print. Each
# ratio is the median of interleaved rounds with its spread (min-max): the
# Google Benchmark binaries run every benchmark as rounds in shuffled order
# (the flags below); the others time their own rounds.
# usage: run-bench.sh BUILD_DIR
set -euo pipefail
build=${1:?build dir}
shopt -s nullglob
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for b in "$build"/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true --benchmark_color=false \
    --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true | tee -a "$out"
done
if [ "$(id -u)" = 0 ]; then
  echo "== tunnel start-up and idle cost (network namespaces)"
  python3 "$(dirname "$0")/../e2e/bench_tunnel.py" "$build" | tee -a "$out"
else
  echo "== tunnel start-up: skipped (needs root)"
fi
echo
echo "== ratios (measured side by side in this run: median of the rounds, spread min-max)"
sed 's/\x1b\[[0-9;]*m//g' "$out" | grep -E '^RATIO ' | sed 's/^RATIO /  /' || echo "  (none)"
