#!/usr/bin/env bash
# Creates a Wine prefix at "$1" if it does not exist yet (about 11 s), and
# brings its Wine machine up, kept up until `wineserver -k`. Safe to run
# concurrently.
set -euo pipefail
prefix="$1"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [[ ! -f "$prefix/.lumar-ready" ]]; then
  wineboot -i >/dev/null 2>&1 </dev/null 9>&-
  wineserver -w 9>&-
  touch "$prefix/.lumar-ready"
fi
# Keep the machine up so that services and pipes outlive single programs.
# Wine's system processes inherit the standard handles of the program that
# starts them: start them here, with ours sent to /dev/null, so that no pipe
# of a caller is held open by them.
wineserver -p >/dev/null 2>&1 </dev/null 9>&- || true
wineboot >/dev/null 2>&1 </dev/null 9>&- || true
