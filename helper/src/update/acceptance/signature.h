// Checks that an update package was signed with the product's updater key.
//
// Signatures are minisign signature files, handed over as the Base64 of the
// whole file. Both minisign algorithms are accepted: prehashed ("ED",
// BLAKE2b-512 of the package signed) and legacy ("Ed", the package itself
// signed). The trusted comment is authenticated but not interpreted.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "main/base/expected.h"

namespace lumar {

// The text of every signature that the updater key did not make, and of
// bytes that are not the ones whose signature was checked.
inline constexpr std::string_view kSignatureMismatch =
    "signature does not match the Lumar updater key";

// Success when `package` was signed by the built-in updater key; otherwise the exact failure text.
Status verify_package_signature(std::span<const std::uint8_t> package,
                                std::string_view signature_member);

// The same check against another key: `updater_key_base64` is the Base64 of
// the text of a minisign public-key file, in the form the built-in key is
// stored in.
Status verify_package_signature(std::span<const std::uint8_t> package,
                                std::string_view signature_member,
                                std::string_view updater_key_base64);

// The BLAKE2b-512 of a package: what a prehashed signature signs.
using PackageDigest = std::array<std::uint8_t, 64>;

// Hashes a package handed over in pieces, in order, so that a prehashed
// signature can be checked without a second pass over the bytes.
class PackageHasher {
 public:
  PackageHasher();
  ~PackageHasher();
  PackageHasher(const PackageHasher&) = delete;
  PackageHasher& operator=(const PackageHasher&) = delete;

  void update(std::span<const std::uint8_t> bytes);
  PackageDigest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True when the member holds a well-formed signature of the prehashed kind,
// which verify_package_digest can check from the package's digest alone.
bool is_prehashed_signature(std::string_view signature_member);

// verify_package_signature for a package known by its digest: the same
// checks in the same order, with the same texts. A legacy signature signs
// the package itself, not its digest, and never matches here.
Status verify_package_digest(const PackageDigest& digest, std::string_view signature_member);
Status verify_package_digest(const PackageDigest& digest, std::string_view signature_member,
                             std::string_view updater_key_base64);

// The key ids that a signature and a key carry, each the 8 bytes minisign
// writes read as a little-endian number, the way minisign prints them.
struct SignatureKeyIds {
  std::uint64_t signature;
  std::uint64_t key;
};

// Both ids, or nothing when either the signature member or the key does not
// parse; verify_package_signature then says which and why.
std::optional<SignatureKeyIds> read_key_ids(std::string_view signature_member,
                                            std::string_view updater_key_base64);

// An id as minisign prints it: 16 upper-case hex digits.
std::string key_id_text(std::uint64_t id);

// The built-in key, as stored: the Base64 of its minisign public-key file.
std::string_view updater_key_base64();

}  // namespace lumar
