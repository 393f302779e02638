#include "update/install/version.h"

#include <gtest/gtest.h>

#include <string>

namespace lumar {
namespace {

using Numbers = std::vector<std::uint64_t>;

constexpr VersionOrder kLess = VersionOrder::kLess;
constexpr VersionOrder kEqual = VersionOrder::kEqual;
constexpr VersionOrder kGreater = VersionOrder::kGreater;
constexpr VersionOrder kNotComparable = VersionOrder::kNotComparable;

TEST(ParseVersion, ReadsAnyNumberOfDecimalPieces) {
  EXPECT_EQ(parse_version("1"), Numbers({1}));
  EXPECT_EQ(parse_version("1.2"), Numbers({1, 2}));
  EXPECT_EQ(parse_version("1.2.3.4"), Numbers({1, 2, 3, 4}));
  EXPECT_EQ(parse_version("1.2.3.4.5.6.7.8.9.10"), Numbers({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(parse_version("0"), Numbers({0}));
}

TEST(ParseVersion, AllowsOnePlusAndLeadingZeros) {
  EXPECT_EQ(parse_version("01.002"), Numbers({1, 2}));
  EXPECT_EQ(parse_version("+1.+2"), Numbers({1, 2}));
  EXPECT_EQ(parse_version("+0001"), Numbers({1}));
  EXPECT_EQ(parse_version("000000000000000000000000000000018446744073709551615"),
            Numbers({18446744073709551615u}));
  for (const char* text : {"+", "++1", "1.+", "+-1", "-1", "1.-2", "-0"}) {
    EXPECT_EQ(parse_version(text), std::nullopt) << text;
  }
}

TEST(ParseVersion, StopsAtTwoToTheSixtyFourMinusOne) {
  EXPECT_EQ(parse_version("18446744073709551615"), Numbers({18446744073709551615u}));
  EXPECT_EQ(parse_version("1.18446744073709551615"), Numbers({1, 18446744073709551615u}));
  EXPECT_EQ(parse_version("18446744073709551616"), std::nullopt);
  EXPECT_EQ(parse_version("18446744073709551620"), std::nullopt);
  EXPECT_EQ(parse_version("99999999999999999999"), std::nullopt);
  EXPECT_EQ(parse_version("1.184467440737095516150"), std::nullopt);
}

TEST(ParseVersion, TrimsUnicodeWhiteSpaceAroundOnly) {
  EXPECT_EQ(parse_version(" 1.2 "), Numbers({1, 2}));
  EXPECT_EQ(parse_version("\t1.2\r\n"), Numbers({1, 2}));
  EXPECT_EQ(parse_version("\xE2\x80\x83"
                          "1.2\xC2\x85"),
            Numbers({1, 2}));  // U+2003, U+0085
  for (const char* text : {"1. 2", "1 .2", "1 2", "1.2\xE2\x80\x83.3", "1.\t2"}) {
    EXPECT_EQ(parse_version(text), std::nullopt) << text;
  }
  // U+200B ZERO WIDTH SPACE is not white space.
  EXPECT_EQ(parse_version("\xE2\x80\x8B"
                          "1.2"),
            std::nullopt);
}

TEST(ParseVersion, RefusesEmptyPiecesAndOtherCharacters) {
  for (const char* text : {"", " ", ".", "..", "1..2", "1.2.", ".1.2", "V1.2", "v1", "1.2.3-beta",
                           "1.2a", "1,2", "0x10", "1e3", "1_000", "\xEF\xBC\x91" /* fullwidth 1 */,
                           "\xD9\xA1.2" /* Arabic-Indic 1 */, "1.2\xFF"}) {
    EXPECT_EQ(parse_version(text), std::nullopt) << text;
  }
  EXPECT_EQ(parse_version(std::string_view("1\0", 2)), std::nullopt);
}

TEST(CompareVersions, PadsWithZerosAndComparesNumbers) {
  EXPECT_EQ(compare_versions("1.2", "1.2.0.0"), kEqual);
  EXPECT_EQ(compare_versions("1.2.0.0", "1.2"), kEqual);
  EXPECT_EQ(compare_versions("1.2.0.1", "1.2"), kGreater);
  EXPECT_EQ(compare_versions("1.2", "1.2.0.1"), kLess);
  EXPECT_EQ(compare_versions("1.10", "1.9"), kGreater);
  EXPECT_EQ(compare_versions("1.9", "1.10"), kLess);
  EXPECT_EQ(compare_versions("2", "1.99.99"), kGreater);
  EXPECT_EQ(compare_versions("1.4.0", "1.4.0"), kEqual);
  EXPECT_EQ(compare_versions("0", "0.0.0"), kEqual);
}

TEST(CompareVersions, ReadsSpellingsOfOneVersionAsEqual) {
  EXPECT_EQ(compare_versions("01.002", "1.2"), kEqual);
  EXPECT_EQ(compare_versions("+1.2", "1.2"), kEqual);
  EXPECT_EQ(compare_versions("01.002", "+1.2"), kEqual);
  EXPECT_EQ(compare_versions(" 1.2\n", "1.2"), kEqual);
  EXPECT_EQ(compare_versions("1.2.1", " \t1.2.0\r\n"), kGreater);
}

TEST(CompareVersions, UsesTheWholeSixtyFourBitRange) {
  EXPECT_EQ(compare_versions("18446744073709551615", "18446744073709551614"), kGreater);
  EXPECT_EQ(compare_versions("1.18446744073709551615", "2"), kLess);
  EXPECT_EQ(compare_versions("18446744073709551616", "1"), kNotComparable);
}

TEST(CompareVersions, AnythingWithoutAVersionIsNotComparable) {
  for (const char* bad :
       {"1.2.3-beta", "1..2", "1.2.", "V1.2", "", "1. 2", "18446744073709551616"}) {
    EXPECT_EQ(compare_versions(bad, "1.0"), kNotComparable) << bad;
    EXPECT_EQ(compare_versions("1.0", bad), kNotComparable) << bad;
    EXPECT_EQ(compare_versions(bad, bad), kNotComparable) << bad;
  }
}

}  // namespace
}  // namespace lumar
