#!/usr/bin/env bash
# Times the stages of a make run and prints their durations at the end.
#   stage.sh begin LOG               starts an empty log
#   stage.sh run LOG NAME CMD...     runs CMD as stage NAME and logs its time;
#                                    on failure prints the summary so far
#   stage.sh summary LOG [TITLE]     prints the stages of LOG and their total
# With KELVO_STAGE_LOG set (as .ci/run does) every stage is also added to
# that log, so a run of several make targets can be summed up as a whole.
set -uo pipefail
cmd=${1:?usage: stage.sh begin|run|summary LOG ...}
log=${2:?log file}

summary() {
  local file=$1 title=$2
  [ -s "$file" ] || return 0
  echo
  echo "== stage durations: $title"
  awk -F'\t' '{ printf "  %-14s %8.1f s  %s\n", $1, $2, $3; total += $2 }
              END { printf "  %-14s %8.1f s  (%.1f min)\n", "total", total, total / 60 }' "$file"
}

case "$cmd" in
  begin)
    mkdir -p "$(dirname "$log")"
    : >"$log"
    ;;
  run)
    name=${3:?stage name}
    shift 3
    start=$(date +%s.%N)
    "$@"
    status=$?
    end=$(date +%s.%N)
    result=ok
    [ "$status" -eq 0 ] || result="failed ($status)"
    line=$(awk -v n="$name" -v a="$start" -v b="$end" -v r="$result" \
      'BEGIN { printf "%s\t%.1f\t%s", n, b - a, r }')
    mkdir -p "$(dirname "$log")"
    echo "$line" >>"$log"
    if [ -n "${KELVO_STAGE_LOG:-}" ] && [ "$KELVO_STAGE_LOG" != "$log" ]; then
      echo "$line" >>"$KELVO_STAGE_LOG"
    fi
    if [ "$status" -ne 0 ]; then
      summary "$log" "$(basename "$log" .tsv) (stopped at $name)"
      exit "$status"
    fi
    ;;
  summary)
    summary "$log" "${3:-$(basename "$log" .tsv)}"
    ;;
  *)
    echo "stage.sh: unknown command $cmd" >&2
    exit 2
    ;;
esac
