// Version texts from the fuzzer: the input is split at its first line feed
// into two texts, a and b, and the order's properties are checked.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/install/version.h"

namespace {

using lumar::VersionOrder;

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
  }
}

VersionOrder reversed(VersionOrder order) {
  switch (order) {
    case VersionOrder::kLess:
      return VersionOrder::kGreater;
    case VersionOrder::kGreater:
      return VersionOrder::kLess;
    default:
      return order;
  }
}

void check_one(std::string_view text) {
  const auto numbers = lumar::parse_version(text);
  const VersionOrder self = lumar::compare_versions(text, text);
  require(self == (numbers ? VersionOrder::kEqual : VersionOrder::kNotComparable),
          "a text equals itself exactly when it has a version");
  if (!numbers) return;
  require(!numbers->empty(), "a version has at least one number");
  // The plain spelling of the numbers reads back as the same version.
  std::string plain;
  for (const std::uint64_t n : *numbers) plain += (plain.empty() ? "" : ".") + std::to_string(n);
  require(lumar::parse_version(plain) == numbers, "the plain spelling parses back");
  require(lumar::compare_versions(text, plain) == VersionOrder::kEqual,
          "equal to its plain spelling");
  require(lumar::compare_versions(text, plain + ".0") == VersionOrder::kEqual,
          "trailing zeros do not count");
  require(lumar::compare_versions(text, plain + ".1") == VersionOrder::kLess,
          "a further number is greater");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\n');
  const std::string_view a = input.substr(0, split);
  const std::string_view b = split == std::string_view::npos ? input : input.substr(split + 1);

  check_one(input);
  check_one(a);
  check_one(b);
  const VersionOrder ab = lumar::compare_versions(a, b);
  require(lumar::compare_versions(b, a) == reversed(ab), "the order is antisymmetric");
  const bool both = lumar::parse_version(a) && lumar::parse_version(b);
  require((ab == VersionOrder::kNotComparable) == !both,
          "comparable exactly when both are versions");
  return 0;
}
