#include "main/base/text.h"

#include <gtest/gtest.h>

namespace lumar {
namespace {

TEST(Utf8Lossy, ReplacesEachMaximalSubpartOnce) {
  EXPECT_EQ(decode_utf8_lossy(std::string_view("a\xC3\xA9z")), "a\xC3\xA9z");
  // A truncated three-byte sequence is one replacement, not two.
  EXPECT_EQ(decode_utf8_lossy(std::string_view("\xE2\x82x")), "\xEF\xBF\xBDx");
  // Overlong forms and encoded surrogates are invalid byte by byte.
  EXPECT_EQ(decode_utf8_lossy(std::string_view("\xC0\xAF")), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(decode_utf8_lossy(std::string_view("\xED\xA0\x80")),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(decode_utf8_lossy(std::string_view("a\0b", 3)), std::string("a\0b", 3));
}

TEST(WideText, RoundTripsSurrogatePairsAndKeepsLoneSurrogatesOnlyWhenAsked) {
  const std::u16string wide = to_wide("x\xF0\x9F\x98\x80");
  ASSERT_EQ(wide.size(), 4u);
  EXPECT_EQ(wide[1], 0xD83D);
  EXPECT_EQ(wide[3], 0);
  const std::u16string lone = {u'a', 0xD800, u'b'};
  EXPECT_EQ(from_wide_lossy(lone),
            "a\xEF\xBF\xBD"
            "b");
  const OsString kept = from_wide_keep_surrogates(lone);
  EXPECT_EQ(kept,
            "a\xED\xA0\x80"
            "b");
  EXPECT_EQ(to_wide(kept), (std::u16string{u'a', 0xD800, u'b', 0}));
  EXPECT_EQ(decode_utf8_lossy(kept),
            "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
            "b");
}

TEST(AsciiFolding, FoldsOnlyAToZ) {
  EXPECT_TRUE(equal_ascii_ci("C:\\Program Files\\X.EXE", "c:\\program files\\x.exe"));
  EXPECT_FALSE(equal_ascii_ci("\xC3\x89", "\xC3\xA9"));  // É and é stay different
  EXPECT_FALSE(equal_ascii_ci("ab", "abc"));
  EXPECT_TRUE(ends_with_ascii_ci("Lumar-Update-1.MSI", ".msi"));
}

TEST(UnicodeWhiteSpace, TrimsEveryWhiteSpaceCharacterAtBothEnds) {
  EXPECT_EQ(trim_unicode_white_space(" \t\n\v\f\r\xC2\x85\xC2\xA0\xE3\x80\x80x y\xE2\x80\xAF"),
            "x y");
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8B"
                                     "x"),
            "\xE2\x80\x8B"
            "x");  // ZWSP is not
  EXPECT_EQ(trim_unicode_white_space("   "), "");
  EXPECT_EQ(trim_unicode_white_space("\xFF "), "\xFF");
}

}  // namespace
}  // namespace lumar
