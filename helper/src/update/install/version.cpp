#include "update/install/version.h"

#include <algorithm>
#include <limits>

#include "main/base/text.h"

namespace lumar {

std::optional<std::vector<std::uint64_t>> parse_version(std::string_view text) {
  text = trim_unicode_white_space(text);
  std::vector<std::uint64_t> numbers;
  // Every dot splits, so "1..2", ".1" and "1." hold an empty piece and fail.
  for (std::size_t start = 0;;) {
    const std::size_t dot = text.find('.', start);
    const std::optional<std::uint64_t> number = parse_decimal(text.substr(start, dot - start));
    if (!number) return std::nullopt;
    numbers.push_back(*number);
    if (dot == std::string_view::npos) return numbers;
    start = dot + 1;
  }
}

VersionOrder compare_versions(std::string_view a, std::string_view b) {
  const auto left = parse_version(a);
  if (!left) return VersionOrder::kNotComparable;
  const auto right = parse_version(b);
  if (!right) return VersionOrder::kNotComparable;
  const std::size_t length = std::max(left->size(), right->size());
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t x = i < left->size() ? (*left)[i] : 0;
    const std::uint64_t y = i < right->size() ? (*right)[i] : 0;
    if (x != y) return x < y ? VersionOrder::kLess : VersionOrder::kGreater;
  }
  return VersionOrder::kEqual;
}

}  // namespace lumar
