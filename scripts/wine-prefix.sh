#!/usr/bin/env bash
# Creates a Wine prefix at PREFIX if it does not exist yet (about 11 s), and
# brings its Wine machine up, kept up until `wineserver -k`. Safe to run
# concurrently.
#
#   scripts/wine-prefix.sh [--restart] PREFIX
#
# --restart first ends the prefix's Wine machine if one is up, with whatever
# an earlier run left running in it (services, helpers, Wine's own system
# processes), so that a test suite starts on a machine of its own. The
# prefix's files are kept; the Wine tests reset what they use of them.
set -euo pipefail
restart=no
if [[ "${1:-}" == "--restart" ]]; then
  restart=yes
  shift
fi
prefix="$1"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [[ "$restart" == yes ]]; then
  wineserver -k >/dev/null 2>&1 </dev/null 9>&- || true
  wineserver -w >/dev/null 2>&1 </dev/null 9>&- || true
fi
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
