#!/usr/bin/env bash
# On demand, never part of the tests: ping round trips per second through the
# helper's pipe under Wine, against a bare serial echo server with the same
# pipe parameters, measured in the same run, round after round.
#
#   bench/pipe-bench.sh [rounds] [trips per round]     (default 5 and 1000)
#
# Environment: LUMAR_BENCH_PREFIX, the Wine prefix to use (default
# build/bench-prefix; its Wine machine is started afresh, so that no helper a
# killed run left holds the pipe, and ended at the end).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo="$PWD"

rounds="${1:-5}"
trips="${2:-1000}"
[[ "$rounds" =~ ^[1-9][0-9]*$ && "$trips" =~ ^[1-9][0-9]*$ ]] ||
  { echo "usage: $0 [rounds] [trips per round]" >&2; exit 2; }
prefix="${LUMAR_BENCH_PREFIX:-$repo/build/bench-prefix}"
build="$repo/build/bench-windows"
goal_ratio=0.9

scripts/setup.sh
cmake -S . -B "$build" --preset windows -DLUMAR_BUILD_BENCHMARKS=ON -DLUMAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target lumar-helper pipe_bench >/dev/null

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
scripts/wine-prefix.sh --restart "$prefix"
cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}
trap cleanup EXIT

win() { printf 'Z:%s' "${1//\//\\}"; }
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
