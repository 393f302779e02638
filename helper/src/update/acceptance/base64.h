// Standard Base64 (RFC 4648 alphabet, "=" padding) as minisign writes it.
#pragma once

#include <string>
#include <string_view>

#include "main/base/bytes.h"
#include "main/base/expected.h"

namespace lumar {

// Decodes canonical Base64 only: every symbol in the alphabet, exactly the
// padding the data needs, and no set bits beyond the data in the last symbol,
// so that each byte string has one accepted text. White space is not skipped;
// callers trim it first. On failure the text is the reason alone, e.g.
// "Invalid padding"; callers put their own label in front.
Result<Bytes> decode_base64(std::string_view text);

// The canonical Base64 of `bytes`, one line, with padding: what
// decode_base64 accepts.
std::string encode_base64(std::string_view bytes);

}  // namespace lumar
