// What the helper asks of Windows Installer and has it do: a package's
// UpgradeCode and ProductVersion, what the installed products of an upgrade
// family say of themselves, and a silent installation of a staged package.
// Callers get text, an exit code or a readable error; installer handles and
// return codes stay in the adapter. Which installed version counts and which
// folder is the product's are chosen here, in portable code.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/platform/environment.h"

namespace lumar {

struct MsiPackageInfo {
  std::string upgrade_code;     // exactly as stored, no trimming or case change
  std::string product_version;  // likewise
};

// Every call opens what it needs and closes it before returning; nothing is
// cached.
class WindowsInstaller {
 public:
  virtual ~WindowsInstaller() = default;
  // The package's Property table, opened read-only. Errors:
  // "open package ({code})", "query {name} ({code})", "package has no {name}",
  // "read {name} ({code})".
  virtual Result<MsiPackageInfo> read_package_properties(const OsString& path) = 0;
  // `attribute` of each installed product that carries `upgrade_code` (asked
  // exactly as given), in the order the installer lists the products. A
  // product that cannot give it is left out; a failure of the listing ends
  // it with what was gathered.
  virtual std::vector<std::string> related_product_info(std::string_view upgrade_code,
                                                        std::string_view attribute) = 0;
  // Runs msiexec_command_line as the helper's own child with its standard
  // handles and waits without limit for its exit code. The error is the
  // system's description, "{message} (os error {code})".
  virtual Result<std::uint32_t> install(const OsString& package, const OsString& log) = 0;
};

// The highest "VersionString" of the family, or nothing. A later version
// replaces the best so far only when it compares greater, so an unreadable
// first version stays.
std::optional<std::string> installed_version(WindowsInstaller& installer,
                                             std::string_view upgrade_code);
// The first "InstallLocation" of the family that is not blank, untrimmed.
std::optional<std::string> install_location(WindowsInstaller& installer,
                                            std::string_view upgrade_code);

// "{SystemRoot or C:\Windows}\System32\msiexec.exe".
OsString msiexec_path(const Environment& environment);
// The program, then "/i", the package, "/quiet", "/norestart",
// "MSIRESTARTMANAGERCONTROL=Disable", "/l*v" and the log, by the installer's
// quoting rule. The app is closed and restarted by the helper, not by the
// Restart Manager.
OsString msiexec_command_line(const OsString& program, const OsString& package,
                              const OsString& log);

// For the adapters: reading a package's properties, worded alike whichever
// library reads the package. {code} is the installer's return code.
//
// The query for one row of the Property table; `name` goes in unquoted, as
// only fixed names are ever passed.
std::string property_query(std::string_view name);
std::string package_open_error(std::uint32_t code);                           // open package
std::string property_query_error(std::string_view name, std::uint32_t code);  // query {name}
std::string property_missing_error(std::string_view name);  // package has no {name}
std::string property_read_error(std::string_view name, std::uint32_t code);  // read {name}
// "UpgradeCode", then "ProductVersion", each through `read_property`; the
// first error is returned unchanged.
Result<MsiPackageInfo> read_package_info(
    const std::function<Result<std::string>(std::string_view name)>& read_property);

// The Windows implementation, built only for Windows. msiexec is found
// through `environment`, read at each installation.
std::unique_ptr<WindowsInstaller> make_win32_windows_installer(const Environment& environment);

}  // namespace lumar
