#!/usr/bin/env bash
# On demand, never part of the tests: floods the helper under Wine with
# refused requests and reports what reached its log, against what a log
# without bounds would have grown in the same run.
#
#   bench/log-flood-bench.sh [seconds] [flood threads]     (default 20 and 2)
#
# Goal: at most 64 KiB added in 20 s, no line over 1 KiB, every ping answered.
# Environment: LUMAR_BENCH_PREFIX, the Wine prefix to use (default
# build/bench-prefix; its Wine machine is started afresh and ended at the end).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo="$PWD"

seconds="${1:-20}"
threads="${2:-2}"
[[ "$seconds" =~ ^[1-9][0-9]*$ && "$threads" =~ ^[1-9][0-9]*$ ]] ||
  { echo "usage: $0 [seconds] [flood threads]" >&2; exit 2; }

. bench/bench-wine.sh
bench_wine_machine log_flood_bench
echo "A flood of refused requests for $seconds s from $threads client threads, one thread pinging"
output=$(wine "$build/bench/log_flood_bench.exe" "$(win "$build/helper/lumar-helper.exe")" \
  "$seconds" "$threads") || { printf '%s\n' "$output"; echo "the flood benchmark failed" >&2; exit 1; }
# The Windows program's lines end in CR LF.
value() { awk -v k="$1" '{ sub(/\r$/, "") } $1 == k { print $2 }' <<<"$output"; }
added=$(value log_bytes_added)
unbounded=$(value unbounded_bytes)
longest=$(value longest_line)
pings=$(value pings)
pongs=$(value pongs)
echo "requests made:             $(value requests) ($(value refusals) refused)"
echo "log bytes added:           $added (goal <= 65536)"
echo "unbounded log, same run:   $unbounded ($(value refusals) lines of $(value refusal_line_bytes) bytes)"
echo "ratio added / unbounded:   $(awk -v a="$added" -v u="$unbounded" 'BEGIN { printf "%.4f", u ? a / u : 0 }')"
echo "longest line:              $longest bytes (goal <= 1024)"
echo "pings answered:            $pongs of $pings, slowest $(value slowest_ping_ms) ms"
met=yes
(( added <= 65536 && longest <= 1024 && pongs == pings && pings > 0 )) || met=no
echo "goal: $([[ $met == yes ]] && echo met || echo 'NOT met')"
