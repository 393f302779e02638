#!/usr/bin/env bash
# Runs every test suite of the helper on this machine, setting it up first:
#   native        unit tests (g++)
#   native-asan   the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   full          the full edition's build and unit tests
#   windows       the real lumar-helper.exe (mingw): unit tests and end-to-end
#                 tests under Wine
#   windows-full  the full edition's exe under Wine
#   release       the release build with a throwaway updater key and signing
#                 certificate: versioned, stripped, signed, runs under Wine
#   fuzz          each libFuzzer target for a bounded time over its corpus
# Ends with one line "N passed, N failed".
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"

scripts/setup.sh || exit 1

jobs="$(nproc)"
fuzz_seconds="${LUMAR_FUZZ_SECONDS:-20}"
passed=0
failed=0
failures=()
timings=()

suite() {
  local name="$1"
  shift
  local start=$SECONDS
  echo "=== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
  fi
  timings+=("$name: $((SECONDS - start)) s")
}

ctest_preset() {
  local preset="$1"
  shift
  cmake --preset "$preset" >/dev/null &&
    cmake --build --preset "$preset" -j"$jobs" "$@" &&
    ctest --preset "$preset" --timeout 1800
}

windows_full() {
  # The full edition's own behaviour is covered by the native "full" unit
  # tests; under Wine its exe runs the end-to-end tests, which know the
  # edition they were built for: their run "wine" on the fresh machine of
  # "wine_prefix", and a line "wine.<Suite>.<Case>" per case.
  cmake --preset windows-full >/dev/null &&
    cmake --build --preset windows-full -j"$jobs" --target lumar_wine_tests &&
    ctest --preset windows-full -R '^(wine_prefix|wine)($|[.])' --timeout 1800
}

fuzz() {
  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j"$jobs" || return 1
  local status=0 target name scratch
  for target in build/fuzz/helper/tests/fuzz/*_fuzz; do
    name="$(basename "$target" _fuzz)"
    # New inputs go to a scratch folder: the seed corpus in the repository
    # stays as committed.
    scratch="$(mktemp -d)"
    echo "fuzz: $name for ${fuzz_seconds} s"
    if ! "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      "$scratch" "helper/tests/fuzz/corpus/$name" >"build/fuzz/$name.log" 2>&1; then
      tail -n 30 "build/fuzz/$name.log"
      status=1
    else
      grep -E 'stat::number_of_executed_units' "build/fuzz/$name.log" || true
    fi
    rm -rf "$scratch"
  done
  return $status
}

suite native ctest_preset native
suite native-asan ctest_preset native-asan
suite full ctest_preset full
suite windows ctest_preset windows
suite windows-full windows_full
suite release helper/tests/release/release-test.sh
suite fuzz fuzz

# Leave no Wine machine running behind us.
WINEPREFIX="$root/build/wine-prefix" wineserver -k >/dev/null 2>&1 || true

echo "=== timings"
printf '%s\n' "${timings[@]}"
if ((failed)); then
  echo "failed suites: ${failures[*]}"
fi
echo "$passed passed, $failed failed"
((failed == 0))
