#!/usr/bin/env bash
# The whole story under Wine, as on a user's machine: a fresh Wine prefix,
# Lumar KQ Lite 1.0.0 installed by msiexec (the package carries the app and
# the helper), the product's setup step "lumar-helper.exe install", the app
# asking for the signed 1.1.0, the service installing it, restarting the app
# and handing over, and the service ending up on the 1.1.0 helper.
#
#   helper/tests/wine/service-demo.sh [<configured Windows build folder>]
#
# The build folder defaults to build/windows (cmake --preset windows). The
# demo uses its own prefix, build/service-demo-prefix, made afresh each run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
build="$(cd "${1:-$root/build/windows}" && pwd)"

step() { printf '\n== %s\n' "$*"; }
# Runs a Wine program, prints its exit code and stops the demo on a failure.
checked() {
  local rc=0
  "$@" </dev/null || rc=$?
  echo "exit $rc"
  if ((rc != 0)); then echo "service-demo: failed" >&2; exit 1; fi
}

cmake --build "$build" -j2 --target lumar-helper lumar-helper-client lumar-desktop show_service \
  lumar_test_packages >/dev/null

export WINEPREFIX="$root/build/service-demo-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
step "a fresh Wine prefix at $WINEPREFIX"
rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
"$root/scripts/wine-prefix.sh" "$WINEPREFIX"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

packages="$build/helper/tests/packages"
win() { winepath -w "$1"; }
product='C:\Program Files\Lumar KQ Lite'
show() { wine "$build/helper/tests/wine/show_service.exe" "$@" | tr -d '\r'; }

step "installing Lumar KQ Lite 1.0.0: msiexec /i lite-1.0.0.msi /quiet"
checked wine msiexec /i "$(win "$packages/lite-1.0.0.msi")" /quiet /norestart
echo "the product folder holds:"
ls "$WINEPREFIX/drive_c/Program Files/Lumar KQ Lite"

step "the product's setup step: \"$product\\lumar-helper.exe\" install"
checked wine "$product\\lumar-helper.exe" install
show
old_pid="$(show | sed -n 's/^state: running, process id \([0-9]*\)$/\1/p')"

step "ping through the pipe"
wine "$build/helper/client/lumar-helper-client.exe" ping </dev/null | tr -d '\r'

step "the installed app asks the service for the signed 1.1.0, then quits"
checked wine "$product\\lumar-desktop.exe" update "$(win "$packages/lite-1.1.0.msi")" \
  "$(win "$packages/lite-1.1.0.msi.minisig")"

step "waiting for the hand-over: the service runs again, in a new process"
show --after "$old_pid"

step "ping the newly installed helper"
wine "$build/helper/client/lumar-helper-client.exe" ping </dev/null | tr -d '\r'

step "the app's starts (the first asked for the update; the helper started the second)"
for _ in $(seq 100); do
  [[ "$(grep -c '^start' "$WINEPREFIX/drive_c/Program Files/Lumar KQ Lite/lumar-desktop-starts.txt" 2>/dev/null)" -ge 2 ]] && break
  sleep 0.2
done
cut -f1-3,6 "$WINEPREFIX/drive_c/Program Files/Lumar KQ Lite/lumar-desktop-starts.txt"

step "helper.log of the setup step (C:\\ProgramData\\Lumar\\helper.log)"
cat "$WINEPREFIX/drive_c/ProgramData/Lumar/helper.log"
step "helper.log of the service (Wine gives services ProgramData=C:\\users\\Public)"
cat "$WINEPREFIX/drive_c/users/Public/Lumar/helper.log"

step "the service at the end"
show
