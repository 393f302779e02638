#!/usr/bin/env bash
# lumar-release-check on real packages: the Wine tests' packages, built by
# packages/make-packages.sh with wixl and signed with minisign by the test
# keys, read back with libmsi.
#
#   release-check-test.sh <lumar-release-check>
set -euo pipefail

tool="$(realpath "$1")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
keys="$here/../data/test-key"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

readonly OTHER_CODE="{3C9A1F42-6D0B-4E85-A7C3-58B2E9F01D64}"

# The Wine tests' packages, around a stand-in app that is only text.
echo "stand-in app" >"$work/lumar-desktop.exe"
"$here/../packages/make-packages.sh" "$work" "$work/lumar-desktop.exe" "$keys"

failures=0
# expect <exit code> <expected last line> <expected other line or ""> <args...>
expect() {
  local code="$1" last="$2" line="$3" got=0
  shift 3
  local out
  out="$(cd "$work" && "$tool" "$@")" || got=$?
  local problem=""
  [[ "$got" == "$code" ]] || problem="exit $got, not $code"
  [[ "$(tail -n 1 <<<"$out")" == "$last" ]] || problem+=" last line differs"
  [[ -z "$line" ]] || grep -qxF -- "$line" <<<"$out" || problem+=" no line '$line'"
  # The JSON form: valid, same verdict, same exit code.
  local json json_got=0
  json="$(cd "$work" && "$tool" "$@" --json)" || json_got=$?
  [[ "$json_got" == "$code" ]] || problem+=" --json exit $json_got"
  local verdict
  verdict="$(python3 -c 'import json,sys; print(json.load(sys.stdin)["verdict"])' <<<"$json")" ||
    problem+=" --json does not parse"
  [[ "$verdict" == "$last" ]] || problem+=" --json verdict '$verdict'"
  if [[ -n "$problem" ]]; then
    echo "FAIL: $*: $problem"
    echo "$out" | sed 's/^/    /'
    failures=$((failures + 1))
  else
    echo "ok: $*"
  fi
}

expect 0 "accepted: Lumar KQ Lite 1.1.0" "signature: ok: signed by key 16EF79FFEA8C716F" \
  lite-1.1.0.msi lite-1.1.0.msi.minisig
expect 1 "refused: signature does not match the Lumar updater key" \
  "signature key id: BE664E1FDBF85593" lite-1.1.0.msi lite-1.1.0.msi.other-key.minisig
expect 1 "refused: signature does not match the Lumar updater key" \
  "trusted key id: 16EF79FFEA8C716F" lite-1.1.0.msi lite-1.1.0.msi.other-key.minisig
expect 0 "accepted: Lumar KQ Lite 1.1.0" "" lite-1.1.0.msi lite-1.1.0.msi.other-key.minisig --key "$keys/lumar-test-other.pub"
expect 0 "accepted: Lumar KQ Lite 1.1.0" "" lite-1.1.0.msi lite-1.1.0.msi.legacy.minisig
expect 1 "refused: package is not a Lumar KQ release (UpgradeCode $OTHER_CODE)" "" \
  other-1.1.0.msi other-1.1.0.msi.minisig
expect 0 "accepted: Lumar KQ 1.1.0" "edition: ok: Lumar KQ" full-1.1.0.msi full-1.1.0.msi.minisig
expect 1 "refused: not a Windows Installer package" "" not-msi.exe not-msi.exe.minisig
expect 1 "refused: package has no ProductVersion" "" lite-no-version.msi lite-no-version.msi.minisig
expect 1 "refused: open package (1627)" "" lite-cut.msi lite-cut.msi.minisig
expect 1 "refused: package 1.1.0 is not newer than the installed 1.1.0" "" \
  lite-1.1.0.msi lite-1.1.0.msi.minisig --installed 1.1.0
expect 1 "refused: package 1.1.0 is not newer than the installed 1.2" "" \
  lite-1.1.0.msi lite-1.1.0.msi.minisig --installed 1.2
expect 0 "accepted: Lumar KQ Lite 1.1.0" "version: ok: 1.1.0 is newer than the installed 1.0.9" \
  lite-1.1.0.msi lite-1.1.0.msi.minisig --installed 1.0.9
fourth="warning: 1.1.0.1 differs from the installed 1.1.0 only in a fourth or later field, which Windows Installer ignores when it upgrades: both products would stay installed side by side"
expect 0 "accepted: Lumar KQ Lite 1.1.0.1" "$fourth" lite-1.1.0.1.msi lite-1.1.0.1.msi.minisig --installed 1.1.0
expect 1 "accepted: Lumar KQ Lite 1.1.0.1" "$fourth" lite-1.1.0.1.msi lite-1.1.0.1.msi.minisig --installed 1.1.0 --strict
expect 1 "accepted: Lumar KQ Lite 1.300.0" \
  "warning: ProductVersion 1.300.0: the minor version 300 is above 255, which Windows Installer cannot order" \
  lite-1.300.0.msi lite-1.300.0.msi.minisig --strict
expect 2 "refused: read missing.msi: No such file or directory (os error 2)" "" \
  missing.msi lite-1.1.0.msi.minisig
expect 2 "refused: read $work/missing.pub: No such file or directory (os error 2)" "" \
  lite-1.1.0.msi lite-1.1.0.msi.minisig --key "$work/missing.pub"

# The README's pipeline step: it stops on a refusal and passes an accepted package.
publish() {  # publish <expected exit code> <installed version>
  local got=0
  LUMAR_UPDATER_KEY="$keys/lumar-test-updater.key" LUMAR_UPDATER_PUB="$keys/lumar-test-updater.pub" \
    LUMAR_RELEASE_CHECK="$tool" "$here/../packages/publish-step.sh" "$work/lite-1.1.0.msi" "$2" \
    >/dev/null 2>&1 || got=$?
  if [[ "$got" != "$1" ]]; then
    echo "FAIL: publish-step.sh over $2 exits $got, not $1"
    failures=$((failures + 1))
  fi
}
publish 0 1.0.0
publish 1 1.1.0

usage_code=0
"$tool" lite-1.1.0.msi >/dev/null 2>&1 || usage_code=$?
if [[ "$usage_code" != 2 ]]; then
  echo "FAIL: a usage error exits $usage_code, not 2"
  failures=$((failures + 1))
fi

echo "$failures failed"
((failures == 0))
