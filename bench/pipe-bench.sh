#!/usr/bin/env bash
# On demand, never part of the tests: ping round trips per second through the
# helper's pipe under Wine, against a bare serial echo server with the same
# pipe parameters, measured in the same run, round after round.
#
#   bench/pipe-bench.sh [rounds] [trips per round]     (default 5 and 1000)
#   bench/pipe-bench.sh --hostile [pings] [baseline checkout]   (default 100)
#
# The hostile mode: single pings while 16 or 64 stalled connections, from one
# process or from eight, are renewed as soon as they are dropped; the median
# and worst latency, and the rate against the bare server with no stallers.
# Given a checkout of an earlier version, its helper (built there, alone) is
# measured first in the same run, for before/after figures.
#
# Environment: LUMAR_BENCH_PREFIX, the Wine prefix to use (default
# build/bench-prefix; its Wine machine is started afresh, so that no helper a
# killed run left holds the pipe, and ended at the end).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo="$PWD"

hostile=no
if [[ "${1:-}" == "--hostile" ]]; then
  hostile=yes
  pings="${2:-100}"
  baseline="${3:-}"
  [[ "$pings" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 --hostile [pings] [baseline checkout]" >&2; exit 2; }
  set -- 1 1
fi
rounds="${1:-5}"
trips="${2:-1000}"
[[ "$rounds" =~ ^[1-9][0-9]*$ && "$trips" =~ ^[1-9][0-9]*$ ]] ||
  { echo "usage: $0 [rounds] [trips per round]" >&2; exit 2; }
goal_ratio=0.9

. bench/bench-wine.sh
bench_wine_machine pipe_bench

if [[ "$hostile" == yes ]]; then
  helpers=()
  if [[ -n "$baseline" ]]; then
    cmake -S "$baseline" -B "$baseline/build/bench-windows" --preset windows -DLUMAR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$baseline/build/bench-windows" -j2 --target lumar-helper >/dev/null
    helpers+=("before:$baseline/build/bench-windows/helper/lumar-helper.exe")
  fi
  helpers+=("after:$build/helper/lumar-helper.exe")
  echo "Single pings under Wine ($pings each, 20 s per ping, 45 s per case) while stalled connections"
  echo "(total x processes) are renewed as soon as they are dropped; rate against the bare server alone"
  printf '%-7s %-6s %9s %10s %10s %8s\n' version case answered median_ms worst_ms ratio
  for entry in "${helpers[@]}"; do
    label="${entry%%:*}"
    if ! output=$(wine "$build/bench/pipe_bench.exe" --hostile "$(win "${entry#*:}")" "$pings"); then
      printf '%s\n' "$output"
      echo "the hostile pipe benchmark failed for $label" >&2
      exit 1
    fi
    awk -v label="$label" '$1 == "hostile_bare_per_second" { bare = $2 }
      $1 == "hostile" { printf "%-7s %-6s %5d/%-3d %10.1f %10.1f %8.3f\n", label, $2, $6, $4, $8, $10, $12 / bare }' <<<"$output"
  done
  echo "goal, after, 64 stallers: every ping answered, worst <= 2000 ms, median <= 50 ms"
  exit 0
fi
echo "Ping round trips under Wine: the helper (foreground) against a bare serial echo server of the same pipe shape,"
echo "$rounds rounds of $trips round trips each, the two interleaved"
if ! output=$(wine "$build/bench/pipe_bench.exe" "$(win "$build/helper/lumar-helper.exe")" "$rounds" "$trips"); then
  printf '%s\n' "$output"
  echo "the pipe benchmark failed" >&2
  exit 1
fi
grep '^round' <<<"$output"
ratio=$(awk '$1 == "median_ratio" { print $2 }' <<<"$output")
echo "bare echo server, median:  $(awk '$1 == "median_bare_per_second" { print $2 }' <<<"$output") round trips/s"
echo "helper, median:            $(awk '$1 == "median_helper_per_second" { print $2 }' <<<"$output") round trips/s"
awk '$1 ~ /^mixed_/ { v[$1] = $2 } END {
  printf "10 000 mixed requests: handles %d -> %d, working set %.1f -> %.1f MiB\n",
    v["mixed_handles_before"], v["mixed_handles_after"],
    v["mixed_working_set_before"] / 1048576, v["mixed_working_set_after"] / 1048576 }' <<<"$output"
echo "ratio helper / bare:       $ratio (goal >= $goal_ratio: $(awk -v r="$ratio" -v g="$goal_ratio" 'BEGIN { print (r >= g) ? "met" : "NOT met" }'))"
