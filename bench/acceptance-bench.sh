#!/usr/bin/env bash
# On demand, never part of the tests: how long the helper takes, under Wine,
# to accept a signed package of the largest size a request may name, from the
# request (the helper's read of the package included) to its reply, against
# `minisign -V` on the same file in the same run; and the helper's peak
# working set while doing it.
#
#   bench/acceptance-bench.sh [repetitions]     (default 3)
#
# Environment: LUMAR_BENCH_PREFIX, the Wine prefix to use (default
# build/bench-prefix of this checkout, kept between runs; each run starts
# and ends its Wine machine), LUMAR_BENCH_DIR, where the package is written
# (default /tmp).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo="$PWD"

repetitions="${1:-3}"
[[ "$repetitions" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [repetitions]" >&2; exit 2; }
prefix="${LUMAR_BENCH_PREFIX:-$repo/build/bench-prefix}"
build="$repo/build/bench-windows"
key_dir="$repo/helper/tests/data/test-key"
package_size=536870912   # the largest package a request may name
goal_ratio=2.5
goal_peak_mib=$(( package_size / 1048576 + 64 ))

scripts/setup.sh
# A build folder of its own: the windows preset's tests are not needed here.
cmake -S . -B "$build" --preset windows -DLUMAR_BUILD_BENCHMARKS=ON -DLUMAR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target lumar-helper acceptance_bench >/dev/null

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# A Wine machine of its own: nothing an earlier run left running, a helper
# included, still holds the pipe.
scripts/wine-prefix.sh --restart "$prefix"
# What a run that was killed can have left in the prefix's temp folders: the
# helper's staged package of the package (512 MiB) with its installer log, and
# the bench's ProgramData folder with the helper's log.
find "$prefix/drive_c/users" "$prefix/drive_c/windows" -maxdepth 3 -ipath '*/temp/*' \
  \( -name 'lumar-update-*' -o -name 'lumar-acceptance-bench-*' \) -prune -exec rm -rf {} + || true

work="$(mktemp -d "${LUMAR_BENCH_DIR:-/tmp}/lumar-acceptance-bench.XXXXXX")"
cleanup() {
  rm -rf "$work"
  # Ends only this prefix's Wine machine, a helper left by a failed run included.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}
trap cleanup EXIT

# The package: the compound-file signature, then pseudo-random bytes, so it
# passes the header check; signed with the test key, the updater key of
# every build but a release.
package="$work/package.msi"
{ printf '\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1'; head -c $(( package_size - 8 )) /dev/urandom; } >"$package"
[[ $(stat -c %s "$package") -eq $package_size ]] || { echo "could not write $package" >&2; exit 1; }
minisign -S -s "$key_dir/lumar-test-updater.key" -m "$package" -x "$package.minisig" \
  -t "acceptance benchmark package" </dev/null >/dev/null
# The package was just written: let the disk take it now, so that its
# write-back does not compete with the staged copies that are timed.
sync

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

echo "Acceptance of a signed package of $package_size bytes under Wine, $repetitions repetition(s), against minisign -V on the same file"
echo "The package begins like a Windows Installer file but is none: it passes the signature check, the header check, staging,"
echo "the comparison of the copy read back, and is then refused by the installer query (\"open package (...)\")."
echo "That reply marks the end of the expensive part of acceptance; the time runs from sending the request to the reply."

# minisign natively, from the same page cache the helper reads through.
minisign_runs=()
for ((i = 1; i <= repetitions; i++)); do
  start=$(date +%s%N)
  minisign -V -q -p "$key_dir/lumar-test-updater.pub" -m "$package" -x "$package.minisig"
  end=$(date +%s%N)
  minisign_runs+=("$(awk -v n=$(( end - start )) 'BEGIN { printf "%.3f", n / 1e9 }')")
done
minisign_median=$(printf '%s\n' "${minisign_runs[@]}" | median)

win() { printf 'Z:%s' "${1//\//\\}"; }
if ! output=$(wine "$build/bench/acceptance_bench.exe" "$(win "$build/helper/lumar-helper.exe")" \
                "$(win "$package")" "$(win "$package.minisig")" "$repetitions"); then
  printf '%s\n' "$output"
  echo "the acceptance benchmark failed" >&2
  exit 1
fi
mapfile -t acceptance_runs < <(awk '$1 == "run" { print $3 }' <<<"$output")
reply=$(awk '$1 == "run" { $1 = $2 = $3 = ""; sub(/^ +/, ""); print; exit }' <<<"$output")
acceptance_median=$(awk '$1 == "median_seconds" { print $2 }' <<<"$output")
peak_bytes=$(awk '$1 == "peak_working_set_bytes" { print $2 }' <<<"$output")
idle_bytes=$(awk '$1 == "idle_working_set_bytes" { print $2 }' <<<"$output")

ratio=$(awk -v a="$acceptance_median" -v m="$minisign_median" 'BEGIN { printf "%.2f", a / m }')
peak_mib=$(mib "$peak_bytes")
met() { awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g) ? "met" : "NOT met" }'; }

echo "helper reply: $reply"
echo "acceptance, request to reply, median: ${acceptance_median} s (runs: ${acceptance_runs[*]})"
echo "minisign -V, median:                  ${minisign_median} s (runs: ${minisign_runs[*]})"
echo "ratio acceptance / minisign -V:       $ratio (goal <= $goal_ratio: $(met "$ratio" "$goal_ratio"))"
echo "helper peak working set:              $peak_mib MiB (goal <= $(( package_size / 1048576 )) + 64 = $goal_peak_mib MiB: $(met "$peak_mib" "$goal_peak_mib")); idle before the requests: $(mib "$idle_bytes") MiB"
