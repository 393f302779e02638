#!/usr/bin/env bash
# Builds the test packages with wixl and signs them with minisign.
#
#   make-packages.sh <output folder> <lumar-desktop.exe> [<key folder>] [<lumar-helper.exe>]
#
# Given the helper, every package also installs lumar-helper.exe beside the
# app, as the product does.
#
# The key folder holds lumar-test-updater.key (the key the test build of the
# helper trusts) and lumar-test-other.key, both without a password. Every
# package X gets X.minisig made with the updater key.
set -euo pipefail

out="$1"
app="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
keys="${3:-$here/../data/test-key}"
helper="${4:-}"
updater_key="$keys/lumar-test-updater.key"
other_key="$keys/lumar-test-other.key"

readonly LITE_CODE="{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}"
readonly FULL_CODE="{7A1E3C55-4B90-5F21-9D3A-61C04E8B2F17}"
readonly OTHER_CODE="{3C9A1F42-6D0B-4E85-A7C3-58B2E9F01D64}"

mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# wixl finds a File's Source only by a relative path.
mkdir "$work/source"
cp "$app" "$work/source/lumar-desktop.exe"
with_helper=(-D "WithHelper=no")
if [[ -n "$helper" ]]; then
  cp "$helper" "$work/source/lumar-helper.exe"
  with_helper=(-D "WithHelper=yes" -D "HelperExe=lumar-helper.exe")
fi

lite=(-D "ProductName=Lumar KQ Lite" -D "Folder=Lumar KQ Lite"
      -D "ComponentGuid={5B0C7E21-8F3A-4D69-9E14-2A6C0F8D3B57}"
      -D "HelperComponentGuid={2F6A9C13-5E87-4B0D-A1C4-93D7E0B58F26}")
full=(-D "ProductName=Lumar KQ" -D "Folder=Lumar KQ"
      -D "ComponentGuid={C81D4A6E-2B97-4F03-8C5A-7E1F9D2B4A60}"
      -D "HelperComponentGuid={A4E07B92-1C3D-4F56-8B29-6D0E5C7A1F38}")
other=(-D "ProductName=Other Product" -D "Folder=Other Product"
       -D "ComponentGuid={9E2F6B14-7C05-4A8D-B3E1-0D5C8A7F2E96}"
       -D "HelperComponentGuid={73B5D0E8-9A14-4C62-BF07-E1A8C3D5926B}")

# build <name> <upgrade code> <version> <fail: yes|no> <edition options...>
build() {
  local name="$1" code="$2" version="$3" failing="$4"
  shift 4
  (cd "$work/source" &&
    wixl -a x64 "$@" "${with_helper[@]}" -D "UpgradeCode=$code" -D "Version=$version" -D "Fail=$failing" \
      -D "AppExe=lumar-desktop.exe" -o "$work/$name.msi" "$here/product.wxs")
}

build lite-1.0.0 "$LITE_CODE" 1.0.0 no "${lite[@]}"
build lite-1.1.0 "$LITE_CODE" 1.1.0 no "${lite[@]}"
build lite-0.9.0 "$LITE_CODE" 0.9.0 no "${lite[@]}"
# Versions Windows Installer compares in part only: a fourth field, and a
# minor version above 255.
build lite-1.1.0.1 "$LITE_CODE" 1.1.0.1 no "${lite[@]}"
build lite-1.300.0 "$LITE_CODE" 1.300.0 no "${lite[@]}"
build lite-1.2.0-fails "$LITE_CODE" 1.2.0 yes "${lite[@]}"
# wixl keeps the letter case of the code in the Property table.
build lite-1.1.0-lower "${LITE_CODE,,}" 1.1.0 no "${lite[@]}"
build full-1.1.0 "$FULL_CODE" 1.1.0 no "${full[@]}"
build other-1.1.0 "$OTHER_CODE" 1.1.0 no "${other[@]}"
# Version texts of 127 characters, which fill the installer's first buffer
# with their 0, and of 143, which do not fit it.
build lite-version-127 "$LITE_CODE" "0.9$(printf '.0%.0s' {1..62})" no "${lite[@]}"
build lite-long-version "$LITE_CODE" "0.9$(printf '.0%.0s' {1..70})" no "${lite[@]}"
build lite-no-version "$LITE_CODE" 1.1.0 no "${lite[@]}"
msibuild "$work/lite-no-version.msi" -q "DELETE FROM \`Property\` WHERE \`Property\`='ProductVersion'"
# Correctly signed, but no installer package.
cp "$work/source/lumar-desktop.exe" "$work/not-msi.exe"
# A compound file cut short, which is no database.
head -c 4096 "$work/lite-1.1.0.msi" >"$work/lite-cut.msi"

sign() {  # sign <key> <file> <signature file> [minisign options]
  minisign -S -s "$1" -m "$2" -x "$3" -t "lumar test package $(basename "$2")" "${@:4}" \
    >/dev/null </dev/null
}
for file in "$work"/*.msi "$work/not-msi.exe"; do
  sign "$updater_key" "$file" "$file.minisig"
done
sign "$other_key" "$work/lite-1.1.0.msi" "$work/lite-1.1.0.msi.other-key.minisig"
# A signature in the legacy format, of the whole file rather than its hash.
sign "$updater_key" "$work/lite-1.1.0.msi" "$work/lite-1.1.0.msi.legacy.minisig" -l

# Replace the folder's contents only once everything was made.
rm -f "$out"/*.msi "$out"/*.minisig "$out"/not-msi.exe
mv "$work"/*.msi "$work"/*.minisig "$work/not-msi.exe" "$out"/
