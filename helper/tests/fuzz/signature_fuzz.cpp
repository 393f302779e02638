// Feeds arbitrary text to the signature check three ways: as a signature
// member, as the text of a signature file (encoded first, so the fuzzer
// reaches the line and record parsing), and as Base64 compared against
// libsodium's own strict decoder.
#include <sodium.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "update/acceptance/base64.h"
#include "update/acceptance/signature.h"

namespace {

// The unit tests' fixtures: with the test key built in (the default), the
// seed signatures verify and the fuzzer also walks the accepting path.
#include "../data/signature_fixtures.inc"

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
  }
}

// Failures the built-in key can never cause and texts no rule produces.
void require_known_failure(const lumar::Status& status) {
  if (status.has_value()) return;
  const std::string& text = status.error();
  require(!text.starts_with("public key"), "the built-in key decodes");
  require(
      text == "signature does not match the Lumar updater key" || text.starts_with("signature: "),
      "failure text has a known form");
}

void compare_with_libsodium(std::string_view text) {
  const lumar::Result<lumar::Bytes> ours = lumar::decode_base64(text);
  // libsodium classifies symbols through a signed char and takes bytes from
  // 128 up for alphabet symbols, so it is a reference for ASCII text only.
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 128) {
      require(!ours.has_value(), "a byte from 128 up is no Base64 symbol");
      return;
    }
  }
  std::string theirs(text.size(), '\0');
  std::size_t size = 0;
  // Without an end pointer or ignored characters, libsodium accepts only
  // canonical, fully padded Base64 that spans the whole input.
  const bool sodium_ok =
      sodium_base642bin(reinterpret_cast<unsigned char*>(theirs.data()), theirs.size(), text.data(),
                        text.size(), nullptr, &size, nullptr, sodium_base64_VARIANT_ORIGINAL) == 0;
  require(ours.has_value() == sodium_ok, "accepts the same texts as libsodium");
  if (ours.has_value()) {
    require(ours->size() == size && std::memcmp(ours->data(), theirs.data(), size) == 0,
            "decodes to the same bytes as libsodium");
  }
}

std::string encoded(std::string_view text) {
  std::string out(sodium_base64_ENCODED_LEN(text.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(text.data()),
                    text.size(), sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::span<const std::uint8_t> package(kPackage);

  compare_with_libsodium(text);
  require_known_failure(lumar::verify_package_signature(package, text));
  const lumar::Status as_file = lumar::verify_package_signature(package, encoded(text));
  require_known_failure(as_file);
  // The member was produced by an encoder, so only the file's content can fail.
  require(as_file.has_value() || !as_file.error().starts_with("signature: Invalid") ||
              as_file.error() == "signature: Invalid encoding in minisign data",
          "an encoder's output is valid Base64");
  // Any input as a public key: fails with a text, never crashes.
  (void)lumar::verify_package_signature(package, encoded(kPrehashedSignature), text);
  return 0;
}
