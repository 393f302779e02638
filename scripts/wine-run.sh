#!/usr/bin/env bash
# Runs a Windows program under Wine in the test prefix: the emulator of the
# Windows build's tests. The prefix is $LUMAR_WINEPREFIX, else
# build/wine-prefix beside this checkout; it is created on first use.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${LUMAR_WINEPREFIX:-${WINEPREFIX:-$here/build/wine-prefix}}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
"$here/scripts/wine-prefix.sh" "$WINEPREFIX"
exec wine "$@"
