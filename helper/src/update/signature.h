// Checks that an update package was signed with the product's updater key.
//
// Signatures are minisign signature files, handed over as the Base64 of the
// whole file. Both minisign algorithms are accepted: prehashed ("ED",
// BLAKE2b-512 of the package signed) and legacy ("Ed", the package itself
// signed). The trusted comment is authenticated but not interpreted.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "main/expected.h"

namespace lumar {

// Success when `package` was signed by the built-in updater key; otherwise the exact failure text.
Status verify_package_signature(std::span<const std::uint8_t> package,
                                std::string_view signature_member);

// The same check against another key: `updater_key_base64` is the Base64 of
// the text of a minisign public-key file, in the form the built-in key is
// stored in.
Status verify_package_signature(std::span<const std::uint8_t> package,
                                std::string_view signature_member,
                                std::string_view updater_key_base64);

// The built-in key, as stored: the Base64 of its minisign public-key file.
std::string_view updater_key_base64();

}  // namespace lumar
