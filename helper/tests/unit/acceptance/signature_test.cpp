#include "update/acceptance/signature.h"

#include <sodium.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "main/base/bytes.h"
#include "update/acceptance/base64.h"
#include "update/acceptance/streamed_digest.h"

namespace lumar {
namespace {

// The committed fixtures: package bytes, test keys and real signatures made
// by the minisign command (see make-signatures.sh beside them).
#include "../../data/signature_fixtures.inc"

constexpr std::string_view kMismatch = "signature does not match the Lumar updater key";
constexpr std::string_view kBadSignatureData = "signature: Invalid encoding in minisign data";
constexpr std::string_view kBadSignatureAlgorithm =
    "signature: This signature algorithm is not supported by this implementation";

std::string unbase64(std::string_view text) {
  std::string out(text.size(), '\0');
  std::size_t size = 0;
  EXPECT_EQ(sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(),
                              text.size(), nullptr, &size, nullptr, sodium_base64_VARIANT_ORIGINAL),
            0);
  out.resize(size);
  return out;
}

std::span<const std::uint8_t> package() { return kPackage; }

const std::string& test_key() {
  static const std::string key = encode_base64(kTestKeyPublicFile);
  return key;
}

// Verifies a signature file's text, given as the request would carry it,
// against the test updater key; "verified" or the failure text.
std::string check(std::span<const std::uint8_t> bytes, std::string_view signature_file,
                  std::string_view key = test_key()) {
  const Status status = verify_package_signature(bytes, encode_base64(signature_file), key);
  return status.has_value() ? "verified" : status.error();
}

std::string check_member(std::string_view member, std::string_view key = test_key()) {
  const Status status = verify_package_signature(package(), member, key);
  return status.has_value() ? "verified" : status.error();
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  return lines;
}

std::string joined(const std::vector<std::string>& lines, std::string_view end = "\n") {
  std::string text;
  for (const std::string& line : lines) (text += line) += end;
  return text;
}

std::string with_line(std::string_view file, std::size_t index, std::string line) {
  std::vector<std::string> lines = lines_of(file);
  lines.at(index) = std::move(line);
  return joined(lines);
}

// Line 2 of a signature file, or line 2 of a key file, decoded, changed and re-encoded.
template <class Change>
std::string with_record(std::string_view file, Change change) {
  std::string record = unbase64(lines_of(file).at(1));
  change(record);
  return with_line(file, 1, encode_base64(record));
}

std::vector<std::uint8_t> changed_package(std::size_t at) {
  std::vector<std::uint8_t> bytes(std::begin(kPackage), std::end(kPackage));
  bytes.at(at) ^= 0x01;
  return bytes;
}

TEST(GenuineSignatures, VerifyPrehashedLegacyAndEmptyComment) {
  EXPECT_EQ(check(package(), kPrehashedSignature), "verified");
  EXPECT_EQ(check(package(), kLegacySignature), "verified");
  EXPECT_EQ(check(package(), kEmptyCommentSignature), "verified");
  EXPECT_EQ(lines_of(kEmptyCommentSignature).at(2), "trusted comment: ");
}

TEST(GenuineSignatures, VerifyAnEmptyPackage) {
  EXPECT_EQ(check({}, kEmptyPackageSignature), "verified");
  EXPECT_EQ(check({}, kEmptyPackageLegacySignature), "verified");
  EXPECT_EQ(check(package(), kEmptyPackageSignature), kMismatch);
  EXPECT_EQ(check({}, kPrehashedSignature), kMismatch);
  EXPECT_EQ(check({}, kLegacySignature), kMismatch);
}

// The package hashed piece by piece, as it arrives from the client's file,
// is checked with the same outcome and texts as in one piece; a legacy
// signature cannot be checked from a digest.
TEST(StreamedDigest, GivesTheOneShotOutcome) {
  const auto streamed = [](std::size_t piece, std::string_view signature_file) {
    StreamedDigest digest;
    for (std::size_t at = 0; at < package().size(); at += piece) {
      digest.arrived(package().subspan(at, std::min(piece, package().size() - at)));
    }
    const Status status =
        verify_package_digest(*digest.finish(), encode_base64(signature_file), test_key());
    return status.has_value() ? "verified" : status.error();
  };
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, package().size()}) {
    EXPECT_EQ(streamed(piece, kPrehashedSignature), "verified") << piece;
    EXPECT_EQ(streamed(piece, kOtherKeySignature), kMismatch) << piece;
  }
  EXPECT_TRUE(is_prehashed_signature(encode_base64(kPrehashedSignature)));
  EXPECT_FALSE(is_prehashed_signature(encode_base64(kLegacySignature)));
  EXPECT_FALSE(is_prehashed_signature("not base64"));
  EXPECT_EQ(streamed(package().size(), kLegacySignature), kMismatch);
  EXPECT_EQ(verify_package_digest({}, "not base64", test_key()).error(),
            check_member("not base64"));
}

TEST(GenuineSignatures, TheBuiltInKeyIsUsedByDefault) {
  if (updater_key_base64() != test_key())
    GTEST_SKIP() << "built with a product key, not the test key";
  EXPECT_TRUE(verify_package_signature(package(), encode_base64(kPrehashedSignature)).has_value());
  EXPECT_EQ(verify_package_signature(package(), encode_base64(kOtherKeySignature)).error(),
            kMismatch);
}

TEST(GenuineSignatures, ReadCrlfLineEndsAndIgnoreLinesAfterTheFourth) {
  const std::vector<std::string> lines = lines_of(kPrehashedSignature);
  EXPECT_EQ(check(package(), joined(lines, "\r\n")), "verified");
  EXPECT_EQ(check(package(), joined(lines_of(kLegacySignature), "\r\n")), "verified");
  // The last line needs no line end.
  std::string unterminated = joined(lines);
  unterminated.pop_back();
  EXPECT_EQ(check(package(), unterminated), "verified");
  EXPECT_EQ(
      check(package(), std::string(kPrehashedSignature) + "\nanything at all: not Base64 \r\n\n"),
      "verified");
  // Only one carriage return before the line feed is a line end.
  std::string doubled = joined(lines, "\r\r\n");
  EXPECT_EQ(check(package(), doubled), kBadSignatureData);
}

TEST(GenuineSignatures, IgnoreWhiteSpaceAroundTheMember) {
  const std::string member = encode_base64(kPrehashedSignature);
  for (const std::string_view space :
       {" ", "\t", "\n", "\r\n", " \t\n ", "\xE3\x80\x80" /* U+3000 */, "\xC2\xA0" /* U+00A0 */,
        "\xE2\x80\xA8" /* U+2028 */}) {
    EXPECT_EQ(check_member(std::string(space) + member), "verified");
    EXPECT_EQ(check_member(member + std::string(space)), "verified");
  }
  // The key is stored trimmed, but would be read the same way.
  EXPECT_EQ(check_member(member, "\n " + test_key() + " \n"), "verified");
}

TEST(SignatureMismatch, AnotherKeyOrAnotherKeysBytesUnderOurId) {
  EXPECT_EQ(check(package(), kOtherKeySignature), kMismatch);
  // Signed by the other key, but claiming the test key's id.
  const std::string our_id = unbase64(lines_of(kTestKeyPublicFile).at(1)).substr(2, 8);
  const std::string claimed =
      with_record(kOtherKeySignature, [&](std::string& record) { record.replace(2, 8, our_id); });
  EXPECT_EQ(check(package(), claimed), kMismatch);
  // Our genuine signature, checked against a key with our id but other key bytes.
  const std::string other_key_bytes = unbase64(lines_of(kOtherKeyPublicFile).at(1)).substr(10);
  const std::string impostor = with_record(
      kTestKeyPublicFile, [&](std::string& record) { record.replace(10, 32, other_key_bytes); });
  EXPECT_EQ(check(package(), kPrehashedSignature, encode_base64(impostor)), kMismatch);
  EXPECT_EQ(check(package(), kLegacySignature, encode_base64(impostor)), kMismatch);
  // And the other key itself accepts only its own signature.
  EXPECT_EQ(check(package(), kOtherKeySignature, encode_base64(kOtherKeyPublicFile)), "verified");
  EXPECT_EQ(check(package(), kPrehashedSignature, encode_base64(kOtherKeyPublicFile)), kMismatch);
}

TEST(SignatureMismatch, AChangedPackage) {
  for (const std::size_t at : {std::size_t{0}, sizeof kPackage / 2, sizeof kPackage - 1}) {
    EXPECT_EQ(check(changed_package(at), kPrehashedSignature), kMismatch) << at;
    EXPECT_EQ(check(changed_package(at), kLegacySignature), kMismatch) << at;
  }
  const std::span<const std::uint8_t> shorter = package().first(sizeof kPackage - 1);
  EXPECT_EQ(check(shorter, kPrehashedSignature), kMismatch);
  EXPECT_EQ(check(shorter, kLegacySignature), kMismatch);
  std::vector<std::uint8_t> longer(std::begin(kPackage), std::end(kPackage));
  longer.push_back(0);
  EXPECT_EQ(check(longer, kPrehashedSignature), kMismatch);
  EXPECT_EQ(check(longer, kLegacySignature), kMismatch);
}

TEST(SignatureMismatch, AChangedTrustedComment) {
  const std::string comment = lines_of(kPrehashedSignature).at(2);
  std::string one_character = comment;
  one_character.back() = '1';  // "1.4.0" becomes "1.4.1"
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 2, one_character)), kMismatch);
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 2, comment + " ")), kMismatch);
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 2, "trusted comment: ")), kMismatch);
  EXPECT_EQ(check(package(), with_line(kEmptyCommentSignature, 2, "trusted comment:  ")),
            kMismatch);
  // The global signature of another file does not cover this one's signature.
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 3, lines_of(kLegacySignature).at(3))),
            kMismatch);
}

TEST(SignatureMismatch, ATagThatClaimsTheOtherAlgorithm) {
  const std::string as_legacy =
      with_record(kPrehashedSignature, [](std::string& r) { r[1] = 'd'; });
  const std::string as_prehashed =
      with_record(kLegacySignature, [](std::string& r) { r[1] = 'D'; });
  EXPECT_EQ(check(package(), as_legacy), kMismatch);
  EXPECT_EQ(check(package(), as_prehashed), kMismatch);
}

TEST(SignatureMember, MustBeCanonicalBase64) {
  // The raw file instead of its Base64: the blank after "untrusted" is offset 9.
  EXPECT_EQ(check_member(kPrehashedSignature), "signature: Invalid symbol 32, offset 9.");
  const std::string member = encode_base64(kPrehashedSignature);
  ASSERT_EQ(member.back(), '=');
  EXPECT_EQ(check_member(member.substr(0, member.size() - 1)), "signature: Invalid padding");
  EXPECT_EQ(check_member(member + "="), "signature: Invalid padding");
  const std::string broken = member.substr(0, 76) + "\n" + member.substr(76);
  EXPECT_EQ(check_member(broken), "signature: Invalid symbol 10, offset 76.");
  EXPECT_EQ(check_member(" " + member.substr(0, 40) + " " + member.substr(40)),
            "signature: Invalid symbol 32, offset 40.");
  EXPECT_EQ(check_member(member.substr(0, 8) + "=" + member.substr(9)),
            "signature: Invalid symbol 61, offset 8.");
  EXPECT_EQ(check_member(member.substr(0, member.size() - 1) + "AA"),
            "signature: Invalid input length: 449");
  EXPECT_EQ(check_member("Zh=="), "signature: Invalid last symbol 104, offset 1.");
}

TEST(SignatureMember, MustDecodeToUtf8) {
  EXPECT_EQ(check_member(encode_base64("\xFF" + std::string(kPrehashedSignature))),
            "signature: not UTF-8");
  // Lines past the fourth are ignored, but they are part of the file.
  EXPECT_EQ(check(package(), std::string(kPrehashedSignature) + "\xC3\x28\n"),
            "signature: not UTF-8");
  // Surrogates encoded in UTF-8 are not UTF-8.
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 0, "untrusted \xED\xA0\x80")),
            "signature: not UTF-8");
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 0, "untrusted \xC3\xA9")), "verified");
}

TEST(SignatureFileLines, AMissingLineIsBadData) {
  const std::vector<std::string> lines = lines_of(kPrehashedSignature);
  EXPECT_EQ(check_member(""), kBadSignatureData);
  EXPECT_EQ(check_member(" \n "), kBadSignatureData);
  for (std::size_t count = 1; count < 4; ++count) {
    const std::vector<std::string> first(lines.begin(), lines.begin() + count);
    EXPECT_EQ(check(package(), joined(first)), kBadSignatureData) << count;
  }
  // Lines end at line feeds only.
  EXPECT_EQ(check(package(), joined(lines, "\r")), kBadSignatureData);
}

TEST(SignatureFileLines, RecordsMustDecodeToTheirExactLength) {
  auto resized = [](std::size_t size) {
    return [size](std::string& record) { record.resize(size, 'x'); };
  };
  EXPECT_EQ(check(package(), with_record(kPrehashedSignature, resized(73))), kBadSignatureData);
  EXPECT_EQ(check(package(), with_record(kPrehashedSignature, resized(75))), kBadSignatureData);
  const std::string global = unbase64(lines_of(kPrehashedSignature).at(3));
  EXPECT_EQ(
      check(package(), with_line(kPrehashedSignature, 3, encode_base64(global.substr(0, 63)))),
      kBadSignatureData);
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 3, encode_base64(global + "x"))),
            kBadSignatureData);
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 3, "")), kBadSignatureData);
  // A Base64 fault inside a line is bad data too, not a Base64 reason.
  const std::string record_line = lines_of(kPrehashedSignature).at(1);
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 1, record_line + " ")),
            kBadSignatureData);
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 1, record_line.substr(0, 99))),
            kBadSignatureData);
  EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 1, " " + record_line)),
            kBadSignatureData);
}

TEST(SignatureFileLines, TheThirdLineNeedsItsPrefix) {
  const std::string comment = lines_of(kPrehashedSignature).at(2).substr(17);
  for (const std::string& line :
       {"Trusted comment: " + comment, "trusted comment:" + comment, "trusted comment:\t" + comment,
        " trusted comment: " + comment, comment, std::string("trusted comment:")}) {
    EXPECT_EQ(check(package(), with_line(kPrehashedSignature, 2, line)), kBadSignatureData) << line;
  }
}

TEST(SignatureAlgorithm, OnlyEdAndEDAreSupported) {
  const std::vector<std::string_view> tags = {
      "Eb", "ed", "eD", "XD", "EE", "DE", std::string_view("\0\0", 2)};
  for (const std::string_view tag : tags) {
    const std::string file =
        with_record(kPrehashedSignature, [&](std::string& r) { r.replace(0, 2, tag); });
    EXPECT_EQ(check(package(), file), kBadSignatureAlgorithm) << tag;
  }
}

TEST(SignatureAlgorithm, TheTagIsCheckedAfterTheLines) {
  const std::string file = with_record(kPrehashedSignature, [](std::string& r) { r[0] = 'X'; });
  const std::vector<std::string> lines = lines_of(file);
  EXPECT_EQ(check(package(), joined({lines[0], lines[1], lines[2]})), kBadSignatureData);
  EXPECT_EQ(check(package(), with_line(file, 2, "no prefix")), kBadSignatureData);
}

TEST(UpdaterKey, EveryFaultIsReportedAsThePublicKeys) {
  const std::string member = encode_base64(kPrehashedSignature);
  EXPECT_EQ(check_member(member, kTestKeyPublicFile), "public key: Invalid symbol 32, offset 9.");
  EXPECT_EQ(check_member(member, test_key().substr(0, test_key().size() - 1)),
            "public key: Invalid padding");
  EXPECT_EQ(check_member(member, encode_base64("\xFE" + std::string(kTestKeyPublicFile))),
            "public key: not UTF-8");
  EXPECT_EQ(check_member(member, ""), "public key: Invalid encoding in minisign data");
  const std::vector<std::string> lines = lines_of(kTestKeyPublicFile);
  EXPECT_EQ(check_member(member, encode_base64(lines[0] + "\n")),
            "public key: Invalid encoding in minisign data");
  EXPECT_EQ(check_member(member, encode_base64(lines[1] + "\n")),
            "public key: Invalid encoding in minisign data");
  const std::string short_key =
      with_record(kTestKeyPublicFile, [](std::string& r) { r.pop_back(); });
  EXPECT_EQ(check_member(member, encode_base64(short_key)),
            "public key: Invalid encoding in minisign data");
  const std::string bad_tag = with_record(kTestKeyPublicFile, [](std::string& r) { r[1] = 'x'; });
  EXPECT_EQ(check_member(member, encode_base64(bad_tag)),
            "public key: This signature algorithm is not supported by this implementation");
}

TEST(UpdaterKey, IsReadBeforeTheSignature) {
  EXPECT_EQ(check_member("not base64", ""), "public key: Invalid encoding in minisign data");
  EXPECT_EQ(check_member("", "??"), "public key: Invalid symbol 63, offset 0.");
}

TEST(UpdaterKey, AcceptsEitherTagCaseAndCrlfLines) {
  const std::string upper_tag = with_record(kTestKeyPublicFile, [](std::string& r) { r[1] = 'D'; });
  EXPECT_EQ(check(package(), kPrehashedSignature, encode_base64(upper_tag)), "verified");
  EXPECT_EQ(check(package(), kPrehashedSignature,
                  encode_base64(joined(lines_of(kTestKeyPublicFile), "\r\n"))),
            "verified");
  // Any untrusted comment will do; only the key record counts.
  EXPECT_EQ(check(package(), kLegacySignature, encode_base64(with_line(kTestKeyPublicFile, 0, ""))),
            "verified");
}

}  // namespace
}  // namespace lumar
