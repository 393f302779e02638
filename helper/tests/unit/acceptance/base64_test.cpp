#include "update/acceptance/base64.h"

#include <sodium.h>

#include <gtest/gtest.h>

#include <string>

namespace lumar {
namespace {

std::string encoded(const Bytes& bytes) {
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

std::string decoded_text(std::string_view base64) {
  const Result<Bytes> bytes = decode_base64(base64);
  if (!bytes.has_value()) return "error: " + bytes.error();
  return std::string(bytes->begin(), bytes->end());
}

std::string reason(std::string_view base64) {
  const Result<Bytes> bytes = decode_base64(base64);
  return bytes.has_value() ? std::string("decoded") : bytes.error();
}

TEST(Base64Decode, DecodesTheStandardVectors) {
  EXPECT_EQ(decoded_text(""), "");
  EXPECT_EQ(decoded_text("Zg=="), "f");
  EXPECT_EQ(decoded_text("Zm8="), "fo");
  EXPECT_EQ(decoded_text("Zm9v"), "foo");
  EXPECT_EQ(decoded_text("Zm9vYg=="), "foob");
  EXPECT_EQ(decoded_text("Zm9vYmE="), "fooba");
  EXPECT_EQ(decoded_text("Zm9vYmFy"), "foobar");
  EXPECT_EQ(decoded_text("+/+/"), "\xFB\xFF\xBF");
}

TEST(Base64, RoundTripsEveryLengthAndByteValue) {
  for (std::size_t size = 0; size <= 300; ++size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 151 + size);
    EXPECT_EQ(encode_base64(std::string(bytes.begin(), bytes.end())), encoded(bytes)) << size;
    const Result<Bytes> back = decode_base64(encoded(bytes));
    ASSERT_TRUE(back.has_value()) << size << ": " << back.error();
    EXPECT_EQ(*back, bytes) << size;
  }
}

TEST(Base64Decode, ReportsTheFirstSymbolOutsideTheAlphabet) {
  EXPECT_EQ(reason("Zm9v Zm9v"), "Invalid symbol 32, offset 4.");
  EXPECT_EQ(reason("Zm9v\nZm9v"), "Invalid symbol 10, offset 4.");
  EXPECT_EQ(reason(" Zm9v"), "Invalid symbol 32, offset 0.");
  EXPECT_EQ(reason("Zm9v\t"), "Invalid symbol 9, offset 4.");
  // The URL-safe alphabet is a different one.
  EXPECT_EQ(reason("Zm-_"), "Invalid symbol 45, offset 2.");
  EXPECT_EQ(reason("Zm9_"), "Invalid symbol 95, offset 3.");
  // Bytes are reported unsigned, in decimal.
  EXPECT_EQ(reason("Zm\xC3\xA9"), "Invalid symbol 195, offset 2.");
  EXPECT_EQ(reason(std::string_view("Zm\0v", 4)), "Invalid symbol 0, offset 2.");
  // The earliest fault wins, even over a bad length or padding.
  EXPECT_EQ(reason("Z!m?"), "Invalid symbol 33, offset 1.");
  EXPECT_EQ(reason("Z!"), "Invalid symbol 33, offset 1.");
  EXPECT_EQ(reason("Zm9vY!"), "Invalid symbol 33, offset 5.");
}

TEST(Base64Decode, RefusesPaddingBeforeTheEnd) {
  EXPECT_EQ(reason("Zg==Zg=="), "Invalid symbol 61, offset 2.");
  EXPECT_EQ(reason("Zm8=Zm9v"), "Invalid symbol 61, offset 3.");
  EXPECT_EQ(reason("Z=g="), "Invalid symbol 61, offset 1.");
  EXPECT_EQ(reason("=Zm9"), "Invalid symbol 61, offset 0.");
}

TEST(Base64Decode, RefusesASymbolCountNoByteStringHas) {
  EXPECT_EQ(reason("Z"), "Invalid input length: 1");
  EXPECT_EQ(reason("Zm9vY"), "Invalid input length: 5");
  EXPECT_EQ(reason("Zm9vY==="), "Invalid input length: 5");
  EXPECT_EQ(reason("Zm9vYmFyZ="), "Invalid input length: 9");
}

TEST(Base64Decode, RequiresExactlyThePaddingTheDataNeeds) {
  for (const char* text : {"Zg", "Zg=", "Zg===", "Zg====", "Zm8",
                           "Zm8==", "Zm9v=", "Zm9v==", "Zm9v====", "=", "==", "===="}) {
    EXPECT_EQ(reason(text), "Invalid padding") << text;
  }
}

TEST(Base64Decode, RefusesSetBitsBeyondTheData) {
  // "Zg==" is "f"; "Zh==" would decode to "f" too, with a stray bit.
  EXPECT_EQ(reason("Zh=="), "Invalid last symbol 104, offset 1.");
  EXPECT_EQ(reason("Z/=="), "Invalid last symbol 47, offset 1.");
  EXPECT_EQ(reason("Zm9="), "Invalid last symbol 57, offset 2.");
  EXPECT_EQ(reason("Zm9vZm9="), "Invalid last symbol 57, offset 6.");
  // A bad length or missing padding is found before the stray bits.
  EXPECT_EQ(reason("Zh"), "Invalid padding");
  EXPECT_EQ(decoded_text("Zm8="), "fo");
}

}  // namespace
}  // namespace lumar
