#include "main/host_actions/unicode_lower.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "main/base/text.h"

namespace lumar {
namespace {

std::string utf8(std::initializer_list<char32_t> cps) {
  std::string out;
  for (char32_t c : cps) append_utf8(out, c);
  return out;
}

TEST(UnicodeLower, MultiCharacterAndContextualMappings) {
  EXPECT_EQ(to_lower_full(utf8({0x130})), utf8({'i', 0x307}));
  // Final sigma after a cased letter, skipping case-ignorable ones (U+0301,
  // U+0027) on either side.
  EXPECT_EQ(to_lower_full(utf8({0x39F, 0x3A3})), utf8({0x3BF, 0x3C2}));
  EXPECT_EQ(to_lower_full(utf8({0x39F, 0x301, 0x3A3, 0x27, ' '})),
            utf8({0x3BF, 0x301, 0x3C2, 0x27, ' '}));
  EXPECT_EQ(to_lower_full(utf8({0x39F, 0x3A3, 0x27, 0x39F})), utf8({0x3BF, 0x3C3, 0x27, 0x3BF}));
  // Alone, or after something uncased, it is the ordinary small sigma.
  EXPECT_EQ(to_lower_full(utf8({0x3A3})), utf8({0x3C3}));
  EXPECT_EQ(to_lower_full(utf8({'1', 0x3A3})), utf8({'1', 0x3C3}));
  // A modifier letter is both cased and case-ignorable: it counts as cased.
  EXPECT_EQ(to_lower_full(utf8({' ', 0x2B0, 0x3A3})), utf8({' ', 0x2B0, 0x3C2}));
  // Title-case and letter-like forms.
  EXPECT_EQ(to_lower_full(utf8({0x1C5, 0x1F88, 0x2160, 0x24B6, 0x1C90, 0x13A0})),
            utf8({0x1C6, 0x1F80, 0x2170, 0x24D0, 0x10D0, 0xAB70}));
  // Invalid bytes are kept; a real U+FFFD is just a character.
  EXPECT_EQ(to_lower_full("A\xFF\xC3"
                          "B\xEF\xBF\xBD"),
            "a\xFF\xC3"
            "b\xEF\xBF\xBD");
}

// Checks the generated tables against the Unicode Character Database where
// it is installed (Debian's unicode-data package).
TEST(UnicodeLower, AgreesWithTheCharacterDatabase) {
  std::ifstream data("/usr/share/unicode/UnicodeData.txt");
  std::ifstream special("/usr/share/unicode/SpecialCasing.txt");
  if (!data || !special) GTEST_SKIP() << "no Unicode Character Database here";

  auto field = [](const std::string& line, int index) {
    std::stringstream s(line);
    std::string f;
    for (int i = 0; i <= index; ++i) std::getline(s, f, ';');
    return f;
  };
  std::map<char32_t, char32_t> simple;
  for (std::string line; std::getline(data, line);) {
    const std::string lower = field(line, 13);
    if (!lower.empty()) {
      simple[static_cast<char32_t>(std::stoul(field(line, 0), nullptr, 16))] =
          static_cast<char32_t>(std::stoul(lower, nullptr, 16));
    }
  }
  ASSERT_GT(simple.size(), 1400u);
  int mismatches = 0;
  for (char32_t c = 0; c <= 0x10FFFF && mismatches < 10; ++c) {
    auto it = simple.find(c);
    const char32_t want = it == simple.end() ? c : it->second;
    if (simple_lower(c) != want) {
      ++mismatches;
      ADD_FAILURE() << std::hex << "U+" << static_cast<std::uint32_t>(c);
    }
  }

  std::size_t unconditional = 0;
  for (std::string line; std::getline(special, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::string condition = field(line, 4);
    if (condition.find_first_not_of(' ') != std::string::npos &&
        condition.find('#') == std::string::npos) {
      continue;
    }
    std::string want;
    std::stringstream lower(field(line, 1));
    for (std::string hex; lower >> hex;) {
      append_utf8(want, static_cast<char32_t>(std::stoul(hex, nullptr, 16)));
    }
    const char32_t c = static_cast<char32_t>(std::stoul(field(line, 0), nullptr, 16));
    EXPECT_EQ(to_lower_full(utf8({c})), want) << std::hex << static_cast<std::uint32_t>(c);
    ++unconditional;
  }
  EXPECT_GT(unconditional, 100u);
}

}  // namespace
}  // namespace lumar
