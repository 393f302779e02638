// What a staged package and its installer log are called, and what the
// recovery reads back from those names.
//
// A package is staged as "lumar-update-{helper pid}-{nanoseconds since
// 1970}.msi", both numbers in plain decimal, and the installer's verbose log
// beside it as the same name ending in ".log". The pid lets the recovery at
// the next service start tell whether the helper that staged a leftover still
// runs; the time keeps two packages staged by the same helper apart. Names
// are compared without case, as the file system does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "main/base/text.h"

namespace lumar {

inline constexpr std::string_view kStagedPackagePrefix = "lumar-update-";
inline constexpr std::string_view kStagedPackageSuffix = ".msi";
inline constexpr std::string_view kStagedLogSuffix = ".log";

std::string staged_package_name(std::uint32_t helper_pid, std::uint64_t unix_nanoseconds);

// Whether a folder entry's name starts with kStagedPackagePrefix and ends in
// `suffix` (given in lower case), the ASCII letters of the name compared
// without case. Only the two ends are looked at, so "lumar-update-.msi" is
// one too: the scans judge a file by its owner, not by what lies between.
bool is_staged_name(std::string_view name, std::string_view suffix);

// The helper pid in the file name of a staged package or log (a bare name,
// or a path split as file_name splits it): the decimal number between the
// prefix and the next "-", or the end when there is none, as parse_decimal
// reads it (so an optional "+"). Nothing when the prefix is missing or the
// number is not one or above 2^32 - 1. The suffix is not looked at.
std::optional<std::uint32_t> staging_owner_pid(std::string_view path);

// The package's path with its extension replaced by "log"; a name with no
// extension, or only a leading dot, gets ".log" added.
OsString installer_log_path(std::string_view package_path);

// The package beside a staged log: `log_path` must end in kStagedLogSuffix,
// which is replaced by kStagedPackageSuffix.
OsString package_path_of_log(std::string_view log_path);

}  // namespace lumar
