#include "main/service/log_text.h"

#include <cstdint>
#include <cstdio>

namespace lumar {
namespace {

struct Character {
  std::size_t length = 1;  // bytes taken from the text
  // The code point, surrogates included; nothing for a byte that starts no
  // well-formed sequence.
  std::int32_t code_point = -1;
};

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Reads one UTF-8 sequence, accepting the three-byte form of surrogates
// (image paths keep unpaired ones) but no overlong form.
Character next_character(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {1, lead};
  std::size_t length = 0;
  std::int32_t value = 0;
  std::int32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return {};
  }
  if (text.size() - at < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    if (!continuation(byte(i))) return {};
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF) return {};
  return {length, value};
}

std::string hex(const char* format, unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// The escape for one character, or nothing when it is written as it is.
std::string escape_for(const Character& c, unsigned char first_byte) {
  const std::int32_t cp = c.code_point;
  if (cp < 0) return hex("\\x%02x", first_byte);
  if (cp == '\n') return "\\n";
  if (cp == '\r') return "\\r";
  if (cp == '\t') return "\\t";
  const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
  const bool separator = cp == 0x2028 || cp == 0x2029;
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  if (control || separator || surrogate) return hex("\\u%04x", static_cast<unsigned>(cp));
  return {};
}

// Appends the escaped form of `text` to `out` until `out` would pass
// `limit` bytes; returns how many bytes of `text` were taken.
std::size_t append_escaped(std::string_view text, std::string& out, std::size_t limit) {
  std::size_t at = 0;
  while (at < text.size()) {
    const Character c = next_character(text, at);
    const std::string escape = escape_for(c, static_cast<unsigned char>(text[at]));
    const std::string_view shown = escape.empty() ? text.substr(at, c.length) : escape;
    if (out.size() + shown.size() > limit) break;
    out += shown;
    at += c.length;
  }
  return at;
}

}  // namespace

std::string escape_log_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(text, out, std::string::npos);
  return out;
}

std::string cut_foreign_piece(std::string_view piece) {
  std::string out;
  const std::size_t taken = append_escaped(piece, out, kMaxForeignPieceBytes);
  if (taken < piece.size()) {
    out += "\xE2\x80\xA6(+" + std::to_string(piece.size() - taken) + " bytes)";
  }
  return out;
}

}  // namespace lumar
