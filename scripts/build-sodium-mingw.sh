#!/usr/bin/env bash
# Builds a static libsodium for x86_64-w64-mingw32 from Debian's source
# package into "$1/sodium-mingw" (include/, lib/libsodium.a).  The source is
# fetched from the archives the machine's apt configuration already names,
# through a private apt configuration so the system's package lists are left
# alone.
set -euo pipefail

cache="$1"
prefix="$cache/sodium-mingw"
[[ -f "$prefix/lib/libsodium.a" && -f "$prefix/include/sodium.h" ]] && exit 0

work="$cache/sodium-src"
rm -rf "$work"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/parts" "$work/src"

# The machine's own archives, as its apt configuration names them, each
# entry turned from "deb" into "deb-src": a machine with another mirror
# fetches from that mirror, and this project names no archive host.
# One-line entries (sources.list, sources.list.d/*.list):
shopt -s nullglob
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -f "$list" ]] || continue
  sed -n -E 's/^[[:space:]]*deb([[:space:]])/deb-src\1/p' "$list"
done >"$work/apt/sources.list"
# deb822 stanzas (sources.list.d/*.sources): those whose Types hold "deb"
# (or "deb-src") and that are not disabled, with Types made "deb-src";
# comments dropped.
for sources in /etc/apt/sources.list.d/*.sources; do
  awk '
    function flush() {
      if (stanza != "" && binary && !disabled) printf "%s\n", stanza
      stanza = ""; binary = 0; disabled = 0
    }
    /^[[:space:]]*#/ { next }
    /^[[:space:]]*$/ { flush(); next }
    tolower($1) == "types:" {
      for (i = 2; i <= NF; i++) if ($i == "deb" || $i == "deb-src") binary = 1
      stanza = stanza "Types: deb-src\n"; next
    }
    tolower($1) == "enabled:" && tolower($2) == "no" { disabled = 1 }
    { stanza = stanza $0 "\n" }
    END { flush() }
  ' "$sources"
done >"$work/apt/parts/machine.sources"
shopt -u nullglob
if [[ ! -s "$work/apt/sources.list" && ! -s "$work/apt/parts/machine.sources" ]]; then
  echo "setup: apt names no deb archive on this machine; cannot fetch libsodium's sources" >&2
  exit 1
fi

apt_opts=(
  -o "Dir::Etc::SourceList=$work/apt/sources.list"
  -o "Dir::Etc::SourceParts=$work/apt/parts"
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
