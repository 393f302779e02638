#include "update/staged_name.h"

#include "main/base/windows_paths.h"

namespace lumar {

std::string staged_package_name(std::uint32_t helper_pid, std::uint64_t unix_nanoseconds) {
  std::string name(kStagedPackagePrefix);
  name += std::to_string(helper_pid);
  name += '-';
  name += std::to_string(unix_nanoseconds);
  name += kStagedPackageSuffix;
  return name;
}

bool is_staged_name(std::string_view name, std::string_view suffix) {
  const std::string lowered = ascii_lower(os_text_lossy(name));
  return lowered.starts_with(kStagedPackagePrefix) && lowered.ends_with(suffix);
}

std::optional<std::uint32_t> staging_owner_pid(std::string_view path) {
  const std::string name = ascii_lower(os_text_lossy(file_name(path).value_or("")));
  if (!name.starts_with(kStagedPackagePrefix)) return std::nullopt;
  std::string_view digits = std::string_view(name).substr(kStagedPackagePrefix.size());
  const std::optional<std::uint64_t> pid = parse_decimal(digits.substr(0, digits.find('-')));
  if (!pid || *pid > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(*pid);
}

OsString installer_log_path(std::string_view package_path) {
  std::string_view stem = package_path;
  const std::string_view name = file_name(package_path).value_or("");
  const std::size_t dot = name.rfind('.');
  // A leading dot starts a name, not an extension.
  if (dot != std::string_view::npos && dot > 0 && package_path.ends_with(name)) {
    stem.remove_suffix(name.size() - dot);
  }
  return OsString(stem) + std::string(kStagedLogSuffix);
}

OsString package_path_of_log(std::string_view log_path) {
  return OsString(log_path.substr(0, log_path.size() - kStagedLogSuffix.size())) +
         std::string(kStagedPackageSuffix);
}

}  // namespace lumar
