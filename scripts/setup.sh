#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12
# machine, and builds libsodium for Windows from Debian's source package.
# Idempotent: a second run only checks and returns within seconds.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${LUMAR_CACHE:-/var/cache/lumar-helper}"

packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev clang-format clang-tidy
  g++-mingw-w64-x86-64-posix wine wine64 msitools libmsi-dev libglib2.0-dev wixl minisign
  libsodium-dev nlohmann-json3-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  autoconf automake libtool dpkg-dev debian-archive-keyring xz-utils unicode-data osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The mingw build must use the posix thread model (std::thread).
if command -v update-alternatives >/dev/null; then
  update-alternatives --set x86_64-w64-mingw32-g++ /usr/bin/x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || true
  update-alternatives --set x86_64-w64-mingw32-gcc /usr/bin/x86_64-w64-mingw32-gcc-posix >/dev/null 2>&1 || true
fi

"$here/scripts/build-sodium-mingw.sh" "$cache"
