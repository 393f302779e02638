// The installer's buffer rule, over a call that answers as msi.dll does:
// the value and its 0 when they fit, else "more data" with the length.
#include "update/install/installer_string.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace lumar {
namespace {

// msi.dll's ERROR_SUCCESS and ERROR_MORE_DATA.
constexpr InstallerStringCodes kCodes{0, 234};

struct StringCase {
  const char* name;
  std::size_t length;                         // the value's units
  std::optional<std::uint32_t> failure;       // a code for every call
  std::optional<std::uint32_t> retry_answer;  // what the second call answers instead
  std::vector<std::uint32_t> sizes_offered;
  std::optional<std::uint32_t> expected_code;  // nothing: the value in full
};

class InstallerString : public testing::TestWithParam<StringCase> {};

TEST_P(InstallerString, OneRetryWithTheToldLengthAndTheSecondAnswerIsFinal) {
  const StringCase& c = GetParam();
  const std::u16string value(c.length, u'v');
  std::vector<std::uint32_t> offered;
  const SystemResult<std::u16string> read =
      read_installer_string(kCodes, [&](char16_t* buffer, std::uint32_t* size) {
        offered.push_back(*size);
        if (c.failure) return *c.failure;
        if (offered.size() == 2 && c.retry_answer) return *c.retry_answer;
        const std::uint32_t capacity = *size;
        *size = static_cast<std::uint32_t>(value.size());
        if (value.size() >= capacity) return kCodes.more_data;
        std::copy(value.begin(), value.end(), buffer);
        buffer[value.size()] = u'\0';
        return kCodes.success;
      });
  EXPECT_EQ(offered, c.sizes_offered);
  if (c.expected_code) {
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), *c.expected_code);
  } else {
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, value);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, InstallerString,
    testing::Values(StringCase{"Empty", 0, {}, {}, {128}, {}},
                    StringCase{"Fits127", 127, {}, {}, {128}, {}},
                    StringCase{"Retries128", 128, {}, {}, {128, 129}, {}},
                    StringCase{"Retries5000", 5000, {}, {}, {128, 5001}, {}},
                    StringCase{"MoreDataTwiceIsFinal", 200, {}, 234, {128, 201}, 234},
                    StringCase{"RetryFailureIsFinal", 200, {}, 1627, {128, 201}, 1627},
                    StringCase{"FailurePassesThrough", 5, 1605, {}, {128}, 1605}),
    [](const testing::TestParamInfo<StringCase>& info) { return info.param.name; });

TEST(InstallerString, ALengthBeyondTheBufferIsNotReadPast) {
  const SystemResult<std::u16string> read =
      read_installer_string(kCodes, [](char16_t* buffer, std::uint32_t* size) {
        std::fill_n(buffer, *size, u'x');
        *size = 500;  // a success that claims more than it was given room for
        return kCodes.success;
      });
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), 128u);
}

}  // namespace
}  // namespace lumar
