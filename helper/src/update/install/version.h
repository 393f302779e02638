// Product versions as Windows Installer reports them ("ProductVersion",
// "VersionString"): dot-separated unsigned decimal numbers, any count of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace lumar {

enum class VersionOrder { kLess, kEqual, kGreater, kNotComparable };

// The numbers of a version text, most significant first, or nothing when the
// text is no version. White space around the text is ignored; each piece is
// an optional "+" and one or more ASCII digits, at most 2^64 - 1.
std::optional<std::vector<std::uint64_t>> parse_version(std::string_view text);

// `a` against `b`, the shorter version padded with zeros (1.2 equals 1.2.0).
// kNotComparable when either text is no version.
VersionOrder compare_versions(std::string_view a, std::string_view b);

}  // namespace lumar
