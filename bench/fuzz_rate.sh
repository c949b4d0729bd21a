#!/usr/bin/env bash
# How many inputs a second fuzz_replace runs under ASan and UBSan, as CI
# runs it: from fuzz/corpus/replace with fuzz/replace.dict, for a set time,
# into a fresh corpus folder each try, so that no try starts from what an
# earlier one found. The machine is shared, so besides libFuzzer's
# executions a second it prints executions per second of CPU the process
# got, which the load changes far less, and the load average.
#   bench/fuzz_rate.sh [binary] [seconds]
# The binary defaults to build-fuzz/fuzz/fuzz_replace (scripts/fuzz.sh
# builds it); seconds to 60, CI's time per target.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
binary=$(realpath "${1:-$repo/build-fuzz/fuzz/fuzz_replace}")
seconds=${2:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
load_before=$(cut -d' ' -f1 /proc/loadavg)
TIMEFORMAT='%R %U %S'
if ! { time (cd "$work" && "$binary" -max_total_time="$seconds" -print_final_stats=1 \
    -dict="$repo/fuzz/replace.dict" . "$repo/fuzz/corpus/replace" >log 2>&1); } 2>"$work/time"; then
  tail -n 20 "$work/log"
  exit 1
fi
read -r _ user system <"$work/time"
executions=$(grep -oP 'number_of_executed_units: *\K[0-9]+' "$work/log")
rate=$(grep -oP 'average_exec_per_sec: *\K[0-9]+' "$work/log")
coverage=$(grep -oP 'DONE +\Kcov: [0-9]+ ft: [0-9]+' "$work/log")
echo "$executions executions, $rate a second, $(awk -v n="$executions" -v u="$user" -v s="$system" \
  'BEGIN { printf "%.0f", n / (u + s) }') a CPU second (${user} s user, ${system} s system);" \
  "$coverage; load average $load_before -> $(cut -d' ' -f1 /proc/loadavg)"
