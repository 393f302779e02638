#!/usr/bin/env bash
# Makes the signature fixtures of the unit tests with the real `minisign`
# command and the test keys in test-key/, and writes signature_fixtures.inc,
# which carries the same files into the test binary (the Windows tests run
# under Wine, where neither minisign nor this tree's paths are at hand).
#
# Ed25519 signatures are deterministic, so a second run reproduces the same
# files. Needs minisign, a C compiler and libsodium-dev.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
keys="$here/test-key"
out="$here/signatures"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# A small package that holds every byte value, not valid UTF-8 as a whole.
for ((i = 0; i < 1024; i++)); do
  printf "\\$(printf %03o $(((i * 73 + 11) & 255)))"
done >"$out/package.bin"
: >"$work/empty.bin"

comment='timestamp:1767225600	file:lumar-kq-lite-1.4.0.msi	Lumar KQ Lite — 1.4.0'
sign() {  # key, file, signature, minisign options...
  local key="$1" file="$2" sig="$3"
  shift 3
  minisign -S -W -s "$keys/$key.key" -m "$file" -x "$sig" -t "$comment" "$@" >/dev/null
}
sign lumar-test-updater "$out/package.bin" "$out/package.minisig"
sign lumar-test-updater "$out/package.bin" "$out/package-legacy.minisig" -l
sign lumar-test-other "$out/package.bin" "$out/package-other-key.minisig"
sign lumar-test-updater "$work/empty.bin" "$out/empty.minisig"
sign lumar-test-updater "$work/empty.bin" "$out/empty-legacy.minisig" -l

# minisign replaces an empty trusted comment with its default one, so the
# empty comment's global signature is made here with libsodium and the test
# key, then checked by minisign itself.
cat >"$work/resign.c" <<'C'
#include <sodium.h>
#include <stdio.h>
#include <string.h>

static int read_line(FILE* f, char* buf, size_t size) {
  if (!fgets(buf, (int)size, f)) return 0;
  buf[strcspn(buf, "\r\n")] = 0;
  return 1;
}

int main(int argc, char** argv) {  /* seckey minisig comment */
  char line[1024], record[1024], untrusted[1024];
  unsigned char sk_record[158], sig_record[74], global[64], message[64 + 1024];
  size_t len;
  FILE* f = fopen(argv[1], "r");
  if (!f || !read_line(f, line, sizeof line) || !read_line(f, line, sizeof line)) return 1;
  fclose(f);
  /* Unencrypted (-W) secret key: tag, kdf "\0\0", checksum alg, salt,
     limits, key id, then the 64-byte Ed25519 secret key. */
  if (sodium_base642bin(sk_record, sizeof sk_record, line, strlen(line), NULL, &len, NULL,
                        sodium_base64_VARIANT_ORIGINAL) || len != 158 || sk_record[2] || sk_record[3])
    return 2;
  f = fopen(argv[2], "r");
  if (!f || !read_line(f, untrusted, sizeof untrusted) || !read_line(f, record, sizeof record)) return 3;
  fclose(f);
  if (sodium_base642bin(sig_record, sizeof sig_record, record, strlen(record), NULL, &len, NULL,
                        sodium_base64_VARIANT_ORIGINAL) || len != 74)
    return 4;
  memcpy(message, sig_record + 10, 64);
  memcpy(message + 64, argv[3], strlen(argv[3]));
  crypto_sign_detached(global, NULL, message, 64 + strlen(argv[3]), sk_record + 62);
  sodium_bin2base64(line, sizeof line, global, 64, sodium_base64_VARIANT_ORIGINAL);
  printf("%s\n%s\ntrusted comment: %s\n%s\n", untrusted, record, argv[3], line);
  return 0;
}
C
cc -O1 -o "$work/resign" "$work/resign.c" -lsodium
"$work/resign" "$keys/lumar-test-updater.key" "$out/package.minisig" "" >"$out/package-empty-comment.minisig"

cp "$work/empty.bin" "$work/package-empty.bin"
for sig in "$out"/*.minisig; do
  case "$(basename "$sig")" in
    package-other-key.minisig) key=lumar-test-other ;;
    *) key=lumar-test-updater ;;
  esac
  case "$(basename "$sig")" in
    empty*) file="$work/empty.bin" ;;
    *) file="$out/package.bin" ;;
  esac
  minisign -V -q -p "$keys/$key.pub" -m "$file" -x "$sig"
done

# C++ string literal of a file, one source line per line of the file. Octal
# escapes stop after three digits, so a digit after one cannot join it.
literal() {
  local b text=""
  for b in $(od -An -v -tu1 "$1"); do
    case $b in
      10) printf '    "%s\\n"\n' "$text"; text="" ;;
      13) text+='\r' ;;
      9) text+='\t' ;;
      34) text+='\"' ;;
      92) text+='\\' ;;
      *) if ((b >= 32 && b < 127)); then text+="$(printf "\\$(printf %03o "$b")")"; else text+="$(printf '\\%03o' "$b")"; fi ;;
    esac
  done
  [[ -z $text ]] || printf '    "%s"\n' "$text"
}
text_constant() {  # name, file
  printf 'inline constexpr std::string_view %s =\n' "$1"
  literal "$2"
  printf '    "";\n\n'
}

{
  printf '// Made by make-signatures.sh from the files in signatures/ and test-key/; do not edit.\n\n'
  printf 'inline constexpr unsigned char kPackage[] = {\n'
  od -An -v -tx1 "$out/package.bin" | sed -e 's/ \([0-9a-f][0-9a-f]\)/0x\1, /g' -e 's/^/    /' -e 's/, $/,/'
  printf '};\n\n'
  text_constant kTestKeyPublicFile "$keys/lumar-test-updater.pub"
  text_constant kOtherKeyPublicFile "$keys/lumar-test-other.pub"
  text_constant kPrehashedSignature "$out/package.minisig"
  text_constant kLegacySignature "$out/package-legacy.minisig"
  text_constant kEmptyCommentSignature "$out/package-empty-comment.minisig"
  text_constant kOtherKeySignature "$out/package-other-key.minisig"
  text_constant kEmptyPackageSignature "$out/empty.minisig"
  text_constant kEmptyPackageLegacySignature "$out/empty-legacy.minisig"
} >"$here/signature_fixtures.inc"
echo "made $out and $here/signature_fixtures.inc"
