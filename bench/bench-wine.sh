# Sourced by the Wine benchmarks: builds the helper and the given bench
# targets in a build folder of their own, starts a fresh Wine machine in
# $prefix (so that no helper a killed run left holds the pipe) and ends it
# when the script exits. Expects $repo; sets $prefix and $build.
prefix="${LUMAR_BENCH_PREFIX:-$repo/build/bench-prefix}"
build="$repo/build/bench-windows"

bench_wine_machine() {
  scripts/setup.sh
  cmake -S . -B "$build" --preset windows -DLUMAR_BUILD_BENCHMARKS=ON -DLUMAR_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target lumar-helper "$@" >/dev/null
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
  scripts/wine-prefix.sh --restart "$prefix"
  trap bench_wine_cleanup EXIT
}

bench_wine_cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}

# A Linux path as Wine's Z: drive names it.
win() { printf 'Z:%s' "${1//\//\\}"; }
