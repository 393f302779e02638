// What the helper asks Windows Installer: a package's UpgradeCode and
// ProductVersion, the installed products of an upgrade family, their version
// and their folder. Callers get plain text or a readable error and never see
// an installer handle or return code.
//
// Two layers: `MsiApi` is msi.dll call for call (return codes and handles as
// numbers), so that the buffer rule and the closing of every handle on every
// path live here, in portable code, where a fake installer can exercise the
// failures a real one will not produce on demand. `WindowsInstaller` is what
// the update check and the recovery at service start use.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/expected.h"
#include "main/base/text.h"

namespace lumar {

struct MsiPackageInfo {
  std::string upgrade_code;     // exactly as stored, no trimming or case change
  std::string product_version;  // likewise
};

// A product code as the enumeration filled it: a braced GUID of 38 units and
// its terminating 0. Handed back to the installer in exactly this form.
using ProductCode = std::array<char16_t, 39>;

// MSIHANDLE: 0 means none.
using MsiHandleValue = std::uint32_t;

inline constexpr std::uint32_t kMsiSuccess = 0;
inline constexpr std::uint32_t kMsiMoreData = 234;
inline constexpr std::uint32_t kMsiNoMoreItems = 259;

// msi.dll, one member per function. Strings handed in are NUL-terminated
// UTF-16; the return value is the function's own return code.
class MsiApi {
 public:
  virtual ~MsiApi() = default;
  // MsiOpenDatabaseW(path, MSIDBOPEN_READONLY, database)
  virtual std::uint32_t open_database_read_only(const char16_t* path, MsiHandleValue* database) = 0;
  virtual std::uint32_t database_open_view(MsiHandleValue database, const char16_t* query,
                                           MsiHandleValue* view) = 0;
  // MsiViewExecute(view, 0): no parameter record.
  virtual std::uint32_t view_execute(MsiHandleValue view) = 0;
  virtual std::uint32_t view_fetch(MsiHandleValue view, MsiHandleValue* record) = 0;
  // `size` in: the buffer's capacity in units; out: the value's length
  // without its 0 (also on kMsiMoreData).
  virtual std::uint32_t record_get_string(MsiHandleValue record, std::uint32_t field,
                                          char16_t* buffer, std::uint32_t* size) = 0;
  virtual std::uint32_t close_handle(MsiHandleValue handle) = 0;
  // Same size convention as record_get_string.
  virtual std::uint32_t get_product_info(const char16_t* product_code, const char16_t* attribute,
                                         char16_t* buffer, std::uint32_t* size) = 0;
  // `product_code` points at 39 units.
  virtual std::uint32_t enum_related_products(const char16_t* upgrade_code, std::uint32_t index,
                                              char16_t* product_code) = 0;
};

// The questions the update path asks. Every call opens what it needs and
// closes it before returning; nothing is cached.
class WindowsInstaller {
 public:
  virtual ~WindowsInstaller() = default;
  // Errors: "open package ({code})", "query {name} ({code})",
  // "package has no {name}", "read {name} ({code})".
  virtual Result<MsiPackageInfo> read_package_properties(const OsString& path) = 0;
  // The highest "VersionString" among the products of the family, or nothing.
  virtual std::optional<std::string> installed_version(std::string_view upgrade_code) = 0;
  // The first "InstallLocation" of the family that is not blank, untrimmed.
  virtual std::optional<std::string> install_location(std::string_view upgrade_code) = 0;
};

class MsiQueries final : public WindowsInstaller {
 public:
  explicit MsiQueries(MsiApi& api) : api_(api) {}

  Result<MsiPackageInfo> read_package_properties(const OsString& path) override;
  std::optional<std::string> installed_version(std::string_view upgrade_code) override;
  std::optional<std::string> install_location(std::string_view upgrade_code) override;

  // One row of the Property table of an open database. `name` goes into the
  // query unquoted: only fixed names are ever passed.
  Result<std::string> read_package_property(MsiHandleValue database, std::string_view name);
  // Installed products that carry the UpgradeCode, in the installer's order.
  // Any failure ends the list.
  std::vector<ProductCode> enumerate_related_products(std::string_view upgrade_code);
  // Nothing when the installer cannot give the attribute.
  std::optional<std::string> read_product_info(const ProductCode& product,
                                               std::string_view attribute);

 private:
  MsiApi& api_;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<MsiApi> make_win32_msi_api();

}  // namespace lumar
