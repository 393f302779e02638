#!/usr/bin/env bash
# Builds a static libsodium for x86_64-w64-mingw32 from Debian's source
# package into "$1/sodium-mingw" (include/, lib/libsodium.a).  The source is
# fetched with a private apt configuration so the system's package lists are
# left alone.
set -euo pipefail

cache="$1"
prefix="$cache/sodium-mingw"
[[ -f "$prefix/lib/libsodium.a" && -f "$prefix/include/sodium.h" ]] && exit 0

work="$cache/sodium-src"
rm -rf "$work"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/src"

# Same archive and suite as the system's own packages.
suite="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
cat >"$work/apt/sources.sources" <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC

apt_opts=(
  -o "Dir::Etc::SourceList=$work/apt/sources.sources"
  -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::State::Lists=$work/apt/lists"
  -o "Dir::Cache=$work/apt/cache"
)
echo "setup: fetching libsodium sources"
apt-get "${apt_opts[@]}" update -qq
(cd "$work/src" && apt-get "${apt_opts[@]}" -o APT::Sandbox::User=root source --download-only -qq libsodium 2>/dev/null)
dsc="$(ls "$work"/src/libsodium_*.dsc | head -n1)"
(cd "$work/src" && dpkg-source -x "$dsc" tree >/dev/null 2>&1)

echo "setup: building libsodium for mingw (about a minute)"
cd "$work/src/tree"
autoreconf -fi >/dev/null 2>&1
./configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
  --disable-shared --enable-static --enable-minimal >/dev/null 2>&1
make -j"$(nproc)" >/dev/null 2>&1
make install >/dev/null
rm -rf "$work"
echo "setup: libsodium for mingw in $prefix"
