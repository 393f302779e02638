#include "update/acceptance/signature.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "main/base/text.h"
#include "update/acceptance/base64.h"
#include "updater_key.h"

namespace lumar {
namespace {

constexpr std::string_view kInvalidEncoding = "Invalid encoding in minisign data";
constexpr std::string_view kUnsupportedAlgorithm =
    "This signature algorithm is not supported by this implementation";
constexpr std::string_view kTrustedCommentPrefix = "trusted comment: ";

constexpr std::size_t kKeyIdSize = 8;
constexpr std::size_t kPublicKeySize = crypto_sign_ed25519_PUBLICKEYBYTES;
constexpr std::size_t kSignatureSize = crypto_sign_ed25519_BYTES;
constexpr std::size_t kDigestSize = crypto_generichash_blake2b_BYTES_MAX;
static_assert(kPublicKeySize == 32 && kSignatureSize == 64 && kDigestSize == 64);

using KeyId = std::array<std::uint8_t, kKeyIdSize>;

struct PublicKey {
  KeyId key_id;
  std::array<std::uint8_t, kPublicKeySize> key;
};

struct SignatureFile {
  bool prehashed;
  KeyId key_id;
  std::array<std::uint8_t, kSignatureSize> signature;
  std::string_view trusted_comment;  // points into the decoded file text
  std::array<std::uint8_t, kSignatureSize> global_signature;
};

std::string labelled(std::string_view label, std::string_view reason) {
  std::string text(label);
  text += ": ";
  text += reason;
  return text;
}

// Reads minisign's line format: a line ends at a line feed, and one carriage
// return right before it is dropped, so files edited on Windows still read.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  std::optional<std::string_view> next() {
    if (rest_.empty()) return std::nullopt;
    const std::size_t end = rest_.find('\n');
    std::string_view line = rest_.substr(0, end);
    rest_ = end == std::string_view::npos ? std::string_view() : rest_.substr(end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    return line;
  }

 private:
  std::string_view rest_;
};

// A Base64 record of one exact length; the caller reports any fault as bad
// minisign data, not with the Base64 reason.
std::optional<Bytes> decode_record(std::optional<std::string_view> line, std::size_t size) {
  if (!line) return std::nullopt;
  Result<Bytes> bytes = decode_base64(*line);
  if (!bytes.has_value() || bytes->size() != size) return std::nullopt;
  return std::move(*bytes);
}

bool is_supported_tag(const Bytes& record) {
  return record[0] == 'E' && (record[1] == 'd' || record[1] == 'D');
}

// The whole member as text: Base64 of a UTF-8 file, white space around it ignored.
Result<std::string> decode_member(std::string_view member, std::string_view label) {
  Result<Bytes> bytes = decode_base64(trim_unicode_white_space(member));
  if (!bytes.has_value()) return fail(labelled(label, bytes.error()));
  std::string text(bytes->begin(), bytes->end());
  if (!is_valid_utf8(text)) return fail(labelled(label, "not UTF-8"));
  return text;
}

Result<PublicKey> read_public_key(std::string_view key_base64) {
  constexpr std::string_view label = "public key";
  Result<std::string> text = decode_member(key_base64, label);
  if (!text.has_value()) return fail(std::move(text).error());
  LineReader lines(*text);
  lines.next();  // the untrusted comment
  const std::optional<Bytes> record = decode_record(lines.next(), 2 + kKeyIdSize + kPublicKeySize);
  if (!record) return fail(labelled(label, kInvalidEncoding));
  if (!is_supported_tag(*record)) return fail(labelled(label, kUnsupportedAlgorithm));
  PublicKey key;
  std::copy_n(record->begin() + 2, kKeyIdSize, key.key_id.begin());
  std::copy_n(record->begin() + 2 + kKeyIdSize, kPublicKeySize, key.key.begin());
  return key;
}

// `text` must outlive the result, whose trusted comment points into it.
Result<SignatureFile> read_signature_file(std::string_view text) {
  const std::string invalid = labelled("signature", kInvalidEncoding);
  LineReader lines(text);
  if (!lines.next()) return fail(invalid);  // the untrusted comment, not examined
  const std::optional<Bytes> record = decode_record(lines.next(), 2 + kKeyIdSize + kSignatureSize);
  if (!record) return fail(invalid);
  const std::optional<std::string_view> comment_line = lines.next();
  if (!comment_line) return fail(invalid);
  const std::optional<Bytes> global = decode_record(lines.next(), kSignatureSize);
  if (!global || !comment_line->starts_with(kTrustedCommentPrefix)) return fail(invalid);
  if (!is_supported_tag(*record)) return fail(labelled("signature", kUnsupportedAlgorithm));

  SignatureFile file;
  file.prehashed = (*record)[1] == 'D';
  std::copy_n(record->begin() + 2, kKeyIdSize, file.key_id.begin());
  std::copy_n(record->begin() + 2 + kKeyIdSize, kSignatureSize, file.signature.begin());
  file.trusted_comment = comment_line->substr(kTrustedCommentPrefix.size());
  std::copy_n(global->begin(), kSignatureSize, file.global_signature.begin());
  return file;
}

void init_sodium() {
  // libsodium picks its fastest BLAKE2b for this processor in sodium_init();
  // without it every package would be hashed by the portable code. Failure
  // leaves the portable code in place, which is still correct.
  static const int sodium_ready = sodium_init();
  (void)sodium_ready;
}

// The Ed25519 checks once the signed message is known: the package itself
// for a legacy signature, its digest for a prehashed one.
bool message_matches(std::span<const std::uint8_t> message, const SignatureFile& file,
                     const PublicKey& key) {
  if (file.key_id != key.key_id) return false;
  // Empty spans may carry a null pointer; hand libsodium a valid one.
  static constexpr std::uint8_t kNothing = 0;
  const std::uint8_t* data = message.empty() ? &kNothing : message.data();
  if (crypto_sign_ed25519_verify_detached(file.signature.data(), data, message.size(),
                                          key.key.data()) != 0) {
    return false;
  }
  std::string global_message(file.signature.begin(), file.signature.end());
  global_message += file.trusted_comment;
  return crypto_sign_ed25519_verify_detached(
             file.global_signature.data(),
             reinterpret_cast<const unsigned char*>(global_message.data()), global_message.size(),
             key.key.data()) == 0;
}

// Reads the key and the signature file in the order whose failure texts the
// callers rely on, then hands both to `matches`.
template <class Matches>
Status check_signature(std::string_view signature_member, std::string_view updater_key_base64,
                       Matches matches) {
  // The key is decoded on every call, not cached: the check keeps no state.
  Result<PublicKey> key = read_public_key(updater_key_base64);
  if (!key.has_value()) return fail(std::move(key).error());
  Result<std::string> text = decode_member(signature_member, "signature");
  if (!text.has_value()) return fail(std::move(text).error());
  Result<SignatureFile> file = read_signature_file(*text);
  if (!file.has_value()) return fail(std::move(file).error());
  if (!matches(*file, *key)) return fail(std::string(kSignatureMismatch));
  return {};
}

}  // namespace

struct PackageHasher::State {
  crypto_generichash_blake2b_state blake2b;
};

PackageHasher::PackageHasher() : state_(std::make_unique<State>()) {
  init_sodium();
  crypto_generichash_blake2b_init(&state_->blake2b, nullptr, 0, kDigestSize);
}

PackageHasher::~PackageHasher() = default;

void PackageHasher::update(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty())
    crypto_generichash_blake2b_update(&state_->blake2b, bytes.data(), bytes.size());
}

PackageDigest PackageHasher::finish() {
  PackageDigest digest{};
  crypto_generichash_blake2b_final(&state_->blake2b, digest.data(), digest.size());
  return digest;
}

bool is_prehashed_signature(std::string_view signature_member) {
  Result<std::string> text = decode_member(signature_member, "signature");
  if (!text.has_value()) return false;
  Result<SignatureFile> file = read_signature_file(*text);
  return file.has_value() && file->prehashed;
}

Status verify_package_digest(const PackageDigest& digest, std::string_view signature_member) {
  return verify_package_digest(digest, signature_member, kUpdaterKeyBase64);
}

Status verify_package_digest(const PackageDigest& digest, std::string_view signature_member,
                             std::string_view updater_key_base64) {
  return check_signature(signature_member, updater_key_base64,
                         [&](const SignatureFile& file, const PublicKey& key) {
                           return file.prehashed && message_matches(digest, file, key);
                         });
}

std::string_view updater_key_base64() { return kUpdaterKeyBase64; }

namespace {

std::uint64_t key_id_number(const KeyId& id) {
  std::uint64_t number = 0;
  for (std::size_t i = id.size(); i-- > 0;) number = (number << 8) | id[i];
  return number;
}

}  // namespace

std::optional<SignatureKeyIds> read_key_ids(std::string_view signature_member,
                                            std::string_view updater_key_base64) {
  Result<PublicKey> key = read_public_key(updater_key_base64);
  if (!key.has_value()) return std::nullopt;
  Result<std::string> text = decode_member(signature_member, "signature");
  if (!text.has_value()) return std::nullopt;
  Result<SignatureFile> file = read_signature_file(*text);
  if (!file.has_value()) return std::nullopt;
  return SignatureKeyIds{key_id_number(file->key_id), key_id_number(key->key_id)};
}

std::string key_id_text(std::uint64_t id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(16, '0');
  for (std::size_t i = text.size(); i-- > 0; id >>= 4) text[i] = kDigits[id & 0xF];
  return text;
}

Status verify_package_signature(std::span<const std::uint8_t> package,
                                std::string_view signature_member) {
  return verify_package_signature(package, signature_member, kUpdaterKeyBase64);
}

Status verify_package_signature(std::span<const std::uint8_t> package,
                                std::string_view signature_member,
                                std::string_view updater_key_base64) {
  return check_signature(signature_member, updater_key_base64,
                         [&](const SignatureFile& file, const PublicKey& key) {
                           if (!file.prehashed) return message_matches(package, file, key);
                           if (file.key_id != key.key_id) return false;  // no need to hash
                           // The package is read in place, never copied: it can be 512 MiB.
                           PackageHasher hasher;
                           hasher.update(package);
                           return message_matches(hasher.finish(), file, key);
                         });
}

}  // namespace lumar
