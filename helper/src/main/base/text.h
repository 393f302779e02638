// Text helpers shared by every part of the helper.
//
// All text inside the helper is UTF-8. Text that comes from the system as
// UTF-16 is converted with replacement of invalid sequences by U+FFFD, except
// process image paths, which keep unpaired surrogates: those are held as
// "WTF-8" (a surrogate encoded like any other code point) in an `OsString`.
// Comparisons of names and paths fold the ASCII letters A to Z only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lumar {

// A path or name as the operating system gave it: UTF-8, except that unpaired
// UTF-16 surrogates are kept (WTF-8).
using OsString = std::string;

// Bytes as UTF-8, every invalid sequence (maximal subpart) replaced by U+FFFD.
std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);
std::string decode_utf8_lossy(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// UTF-8 (or WTF-8) to UTF-16 code units followed by one 0 unit. Characters
// outside the BMP become surrogate pairs; embedded NULs are not checked for.
std::u16string to_wide(std::string_view text);
// UTF-16 to UTF-8, unpaired surrogates replaced by U+FFFD.
std::string from_wide_lossy(std::u16string_view wide);
// UTF-16 to WTF-8, unpaired surrogates kept.
OsString from_wide_keep_surrogates(std::u16string_view wide);
// A path or name as UTF-8 text, each unpaired surrogate replaced by one
// U+FFFD, as the system gives text converted with replacement.
std::string os_text_lossy(std::string_view os_text);

// An optional "+", then plain ASCII digits only (no blanks, no other sign,
// no other scripts' digits); nothing when that is not what the text is, or
// the value is over 2^64 - 1.
std::optional<std::uint64_t> parse_decimal(std::string_view text);

char ascii_lower(char c);
std::string ascii_lower(std::string_view text);
// Same length in bytes and equal after folding A-Z to a-z.
bool equal_ascii_ci(std::string_view a, std::string_view b);
bool starts_with_ascii_ci(std::string_view text, std::string_view prefix);
bool ends_with_ascii_ci(std::string_view text, std::string_view suffix);

// Unicode White_Space property.
bool is_unicode_white_space(char32_t c);
// Removes Unicode white space at both ends of UTF-8 text. Invalid bytes at an
// end are not white space and stop the trim.
std::string_view trim_unicode_white_space(std::string_view text);

// Decodes one code point at `pos`; returns it and advances `pos`, or returns
// U+FFFD and advances by one byte when the sequence is invalid.
char32_t next_code_point(std::string_view text, std::size_t& pos);
void append_utf8(std::string& out, char32_t c);

}  // namespace lumar
