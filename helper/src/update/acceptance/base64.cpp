#include "update/acceptance/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

namespace lumar {
namespace {

constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotInAlphabet);
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = make_decode_table();

std::string symbol_reason(std::string_view what, unsigned char byte, std::size_t offset) {
  return std::string(what) + " " + std::to_string(byte) + ", offset " + std::to_string(offset) +
         ".";
}

}  // namespace

Result<Bytes> decode_base64(std::string_view text) {
  // Only a closing run of "=" is padding; an "=" anywhere before it is a
  // stray symbol and is reported where it stands.
  std::size_t symbols = text.size();
  while (symbols > 0 && text[symbols - 1] == '=') --symbols;
  const std::size_t padding = text.size() - symbols;

  for (std::size_t i = 0; i < symbols; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (kDecodeTable[byte] == kNotInAlphabet) return fail(symbol_reason("Invalid symbol", byte, i));
  }
  // One symbol carries 6 bits, less than a byte: no byte string ends that way.
  if (symbols % 4 == 1) return fail("Invalid input length: " + std::to_string(symbols));
  if (padding != (4 - symbols % 4) % 4) return fail("Invalid padding");

  Bytes out;
  out.reserve(symbols / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int held = 0;
  for (std::size_t i = 0; i < symbols; ++i) {
    bits = (bits << 6) | kDecodeTable[static_cast<unsigned char>(text[i])];
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(static_cast<std::uint8_t>(bits >> held));
    }
    bits &= (1u << held) - 1;
  }
  // The 2 or 4 bits left over belong to no byte. An encoder writes them as
  // zero; anything else would be a second spelling of the same bytes.
  if (bits != 0) {
    return fail(symbol_reason("Invalid last symbol", static_cast<unsigned char>(text[symbols - 1]),
                              symbols - 1));
  }
  return out;
}

std::string encode_base64(std::string_view bytes) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 3; ++j) {
      group <<= 8;
      if (j < count) group |= static_cast<unsigned char>(bytes[i + j]);
    }
    for (std::size_t j = 0; j < 4; ++j) {
      text += j <= count ? kAlphabet[(group >> (18 - 6 * j)) & 0x3F] : '=';
    }
  }
  return text;
}

}  // namespace lumar
