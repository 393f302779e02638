#include "update/install/windows_installer.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <array>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/platform/process_start_win32.h"
#include "update/install/installer_string.h"

namespace lumar {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

constexpr InstallerStringCodes kMsiStringCodes{ERROR_SUCCESS, ERROR_MORE_DATA};

wchar_t* w(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

// msi.dll's functions that fill a buffer, with the size in a DWORD.
template <class Fill>
SystemResult<std::u16string> read_string(Fill fill) {
  return read_installer_string(kMsiStringCodes, [&](char16_t* buffer, std::uint32_t* size) {
    DWORD units = *size;
    const UINT code = fill(w(buffer), &units);
    *size = units;
    return std::uint32_t{code};
  });
}

Result<std::string> read_property(MSIHANDLE database, std::string_view name) {
  const std::wstring query = wide(property_query(name));
  UniqueMsiHandle view;
  UINT code = ::MsiDatabaseOpenViewW(database, query.c_str(), view.put());
  if (code != ERROR_SUCCESS) return fail(property_query_error(name, code));
  code = ::MsiViewExecute(view.get(), 0);
  if (code != ERROR_SUCCESS) return fail(property_query_error(name, code));
  // ERROR_NO_MORE_ITEMS when the row is not there, and any other failure
  // alike.
  UniqueMsiHandle record;
  if (::MsiViewFetch(view.get(), record.put()) != ERROR_SUCCESS) {
    return fail(property_missing_error(name));
  }
  const SystemResult<std::u16string> value = read_string([&](wchar_t* buffer, DWORD* size) {
    return ::MsiRecordGetStringW(record.get(), 1, buffer, size);
  });
  if (!value.has_value()) return fail(property_read_error(name, value.error()));
  return from_wide_lossy(*value);
}

// A product code as the enumeration filled it: a braced GUID of 38 units and
// its 0, handed back to the installer in exactly this form.
using ProductCode = std::array<wchar_t, 39>;

// Every failure, ERROR_NO_MORE_ITEMS or another, ends the list.
std::vector<ProductCode> related_products(const std::wstring& upgrade_code) {
  std::vector<ProductCode> products;
  for (DWORD index = 0;; ++index) {
    ProductCode product{};
    if (::MsiEnumRelatedProductsW(upgrade_code.c_str(), 0, index, product.data()) !=
        ERROR_SUCCESS) {
      return products;
    }
    products.push_back(product);
  }
}

class Win32WindowsInstaller final : public WindowsInstaller {
 public:
  explicit Win32WindowsInstaller(const Environment& environment) : environment_(environment) {}

  Result<MsiPackageInfo> read_package_properties(const OsString& path) override {
    UniqueMsiHandle database;
    const UINT code = ::MsiOpenDatabaseW(wide(path).c_str(), MSIDBOPEN_READONLY, database.put());
    if (code != ERROR_SUCCESS) return fail(package_open_error(code));
    return read_package_info(
        [&](std::string_view name) { return read_property(database.get(), name); });
  }

  std::vector<std::string> related_product_info(std::string_view upgrade_code,
                                                std::string_view attribute) override {
    const std::wstring wide_attribute = wide(attribute);
    std::vector<std::string> values;
    for (const ProductCode& product : related_products(wide(upgrade_code))) {
      const SystemResult<std::u16string> value = read_string([&](wchar_t* buffer, DWORD* size) {
        return ::MsiGetProductInfoW(product.data(), wide_attribute.c_str(), buffer, size);
      });
      if (value.has_value()) values.push_back(from_wide_lossy(*value));
    }
    return values;
  }

  Result<std::uint32_t> install(const OsString& package, const OsString& log) override {
    const OsString program = msiexec_path(environment_);
    Result<UniqueHandle> child = start_process_with_handles(
        wide(program), wide(msiexec_command_line(program, package, log)), own_standard_handles());
    if (!child.has_value()) return fail(child.error());
    // No limit: an installation takes as long as it takes, and stopping it
    // half-way would be worse than waiting.
    return wait_for_exit(child->get());
  }

 private:
  const Environment& environment_;
};

}  // namespace

std::unique_ptr<WindowsInstaller> make_win32_windows_installer(const Environment& environment) {
  return std::make_unique<Win32WindowsInstaller>(environment);
}

}  // namespace lumar
