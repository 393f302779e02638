#!/usr/bin/env bash
# The release build a product team ships: configured as the README says, with
# a throwaway updater key and code-signing certificate made here, built into
# build/release-test (the presets' own build folders stay untouched), then
# checked: version resources, debug information apart, signatures, and the
# signed helper running under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
build="$root/build/release-test"
keys="$build/keys"
checks="$build/checks"
version=3.4.5.6
rm -rf "$keys" "$checks"
mkdir -p "$keys" "$checks"

minisign -G -W -p "$keys/updater.pub" -s "$keys/updater.key" >/dev/null
openssl req -x509 -newkey rsa:3072 -nodes -days 2 -subj "/CN=Lumar release test" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$keys/signing-key.pem" -out "$keys/signing-cert.pem" 2>/dev/null

cd "$root"
cmake --preset release -B "$build" -DLUMAR_UPDATER_KEY_FILE="$keys/updater.pub" -DLUMAR_VERSION="$version" \
  -DLUMAR_SIGNING_CERT="$keys/signing-cert.pem" -DLUMAR_SIGNING_KEY="$keys/signing-key.pem" >/dev/null
cmake --build "$build" -j"$(nproc)"

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

check_exe() {
  local exe="$1" description="$2" name
  name="$(basename "$exe")"
  [[ -f "$exe" ]] || { fail "$name was not built"; return; }

  local resources
  resources="$(x86_64-w64-mingw32-windres -J coff -i "$exe" -O rc)"
  local line
  for line in " FILEVERSION ${version//./, }" " PRODUCTVERSION ${version//./, }" \
    "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
    "VALUE \"ProductName\", \"Lumar KQ Lite\"" "VALUE \"FileDescription\", \"$description\"" \
    "VALUE \"OriginalFilename\", \"$name\"" 'requestedExecutionLevel level=""asInvoker""'; do
    grep -qF -- "$line" <<<"$resources" || fail "$name: no '$line' in its resources"
  done

  local sections
  sections="$(x86_64-w64-mingw32-objdump -h "$exe")"
  if grep -q ' \.debug_' <<<"$sections"; then fail "$name keeps debug sections"; fi
  x86_64-w64-mingw32-objdump -h "$exe.debug" 2>/dev/null | grep -q ' \.debug_info ' ||
    fail "$name.debug holds no debug information"
  # The link holds the debug file's name, NUL padding and its checksum.
  local link="$checks/debuglink-$name"
  x86_64-w64-mingw32-objcopy --dump-section ".gnu_debuglink=$link" "$exe" "$link.exe" 2>/dev/null || true
  [[ -f "$link" && "$(head -c $((${#name} + 6)) "$link")" == "$name.debug" ]] ||
    fail "$name has no debug link to $name.debug"

  osslsigncode verify -CAfile "$keys/signing-cert.pem" -in "$exe" >"$checks/verify-$name.log" 2>&1 ||
    fail "$name: signature does not verify (see $checks/verify-$name.log)"
}

check_exe "$build/helper/lumar-helper.exe" "Lumar KQ Privileged Helper"
check_exe "$build/helper/client/lumar-helper-client.exe" "Lumar KQ Helper Client"

variant="$("$root/scripts/wine-run.sh" "$build/helper/lumar-helper.exe" variant | tr -d '\r')"
[[ "$variant" == desktop ]] || fail "signed lumar-helper.exe variant printed '$variant'"

if ((failures)); then
  echo "release: $failures failed"
  exit 1
fi
echo "release: signed, versioned and stripped"
