// The full default lower-case mapping of Unicode (toLowercase in chapter 3
// of the standard), independent of any locale: multi-character mappings such
// as U+0130 and the Final_Sigma context of U+03A3 included. The tables are
// generated from the Unicode Character Database by
// scripts/gen-unicode-lower.py.
#pragma once

#include <string>
#include <string_view>

namespace lumar {

// The simple lower-case mapping of one code point (itself when it has none).
char32_t simple_lower(char32_t c);

// Lower-cases UTF-8 text. Bytes that are not valid UTF-8 are copied as they
// are.
std::string to_lower_full(std::string_view text);

}  // namespace lumar
