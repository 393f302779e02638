#!/usr/bin/env bash
# The helper's main job, shown under Wine: the real lumar-helper.exe runs in
# the foreground and answers the client tool on its pipe.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
root="$(pwd)"

scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target lumar-helper lumar-helper-client >/dev/null

export WINEPREFIX="$root/build/demo-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
scripts/wine-prefix.sh "$WINEPREFIX"
bin="$root/build/windows/helper"
log="$WINEPREFIX/drive_c/ProgramData/Lumar/helper.log"
seen=$( [[ -f "$log" ]] && wc -l <"$log" || echo 0)

echo "== starting lumar-helper.exe run (Wine's service dispatcher gives up after about 10 s)"
wine "$bin/lumar-helper.exe" run >/dev/null 2>&1 </dev/null &
helper=$!
trap 'kill $helper 2>/dev/null; wineserver -k 2>/dev/null || true' EXIT

echo "== ping"
wine "$bin/client/lumar-helper-client.exe" ping || true
echo "== a malformed line"
wine "$bin/client/lumar-helper-client.exe" send 'this is not json' || true

echo "== new lines in helper.log"
tail -n +"$((seen + 1))" "$log"
