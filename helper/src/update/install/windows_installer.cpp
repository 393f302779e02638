#include "update/install/windows_installer.h"

#include <utility>

#include "main/base/windows_paths.h"
#include "update/install/version.h"

namespace lumar {
namespace {

constexpr std::string_view kDefaultSystemRoot = R"(C:\Windows)";

std::string with_code(std::string text, std::uint32_t code) {
  return std::move(text) + " (" + std::to_string(code) + ")";
}

}  // namespace

std::optional<std::string> installed_version(WindowsInstaller& installer,
                                             std::string_view upgrade_code) {
  std::optional<std::string> best;
  for (std::string& version : installer.related_product_info(upgrade_code, "VersionString")) {
    if (!best || compare_versions(version, *best) == VersionOrder::kGreater) {
      best = std::move(version);
    }
  }
  return best;
}

std::optional<std::string> install_location(WindowsInstaller& installer,
                                            std::string_view upgrade_code) {
  for (std::string& location : installer.related_product_info(upgrade_code, "InstallLocation")) {
    if (!trim_unicode_white_space(location).empty()) return std::move(location);
  }
  return std::nullopt;
}

OsString msiexec_path(const Environment& environment) {
  const std::optional<std::string> root = environment.get("SystemRoot");
  return join_path(join_path(root ? std::string_view(*root) : kDefaultSystemRoot, "System32"),
                   "msiexec.exe");
}

OsString msiexec_command_line(const OsString& program, const OsString& package,
                              const OsString& log) {
  return command_line(
      program,
      {"/i", package, "/quiet", "/norestart", "MSIRESTARTMANAGERCONTROL=Disable", "/l*v", log},
      QuoteRule::kProgramAlwaysQuoted);
}

std::string property_query(std::string_view name) {
  return "SELECT `Value` FROM `Property` WHERE `Property`='" + std::string(name) + "'";
}

std::string package_open_error(std::uint32_t code) { return with_code("open package", code); }

std::string property_query_error(std::string_view name, std::uint32_t code) {
  return with_code("query " + std::string(name), code);
}

std::string property_missing_error(std::string_view name) {
  return "package has no " + std::string(name);
}

std::string property_read_error(std::string_view name, std::uint32_t code) {
  return with_code("read " + std::string(name), code);
}

Result<MsiPackageInfo> read_package_info(
    const std::function<Result<std::string>(std::string_view name)>& read_property) {
  Result<std::string> upgrade_code = read_property("UpgradeCode");
  if (!upgrade_code.has_value()) return fail(std::move(upgrade_code).error());
  Result<std::string> product_version = read_property("ProductVersion");
  if (!product_version.has_value()) return fail(std::move(product_version).error());
  return MsiPackageInfo{std::move(*upgrade_code), std::move(*product_version)};
}

}  // namespace lumar
