// The test packages (built by helper/tests/packages/make-packages.sh into
// the build tree) and the products they install in the Wine prefix.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "wine_harness.h"

namespace lumar::test {

inline constexpr const char* kLiteCode = "{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}";
inline constexpr const char* kFullCode = "{7A1E3C55-4B90-5F21-9D3A-61C04E8B2F17}";
inline constexpr const char* kOtherCode = "{3C9A1F42-6D0B-4E85-A7C3-58B2E9F01D64}";
// Where the Lite packages install the stand-in app.
inline constexpr const wchar_t* kLiteFolder = L"C:\\Program Files\\Lumar KQ Lite";

// "0.9" and `zeros` times ".0": the versions of the test packages whose
// version texts are long.
inline std::string long_version(int zeros) {
  std::string version = "0.9";
  for (int i = 0; i < zeros; ++i) version += ".0";
  return version;
}

// "{build}\helper\tests\packages\{name}"
std::wstring package_path(const std::wstring& name);
// Its signature made with the test updater key.
inline std::wstring signature_path(const std::wstring& name) {
  return package_path(name) + L".minisig";
}

// msiexec's exit code for a silent install of the package.
DWORD install_package(const std::wstring& name);
// Removes every product of the three test UpgradeCodes.
void uninstall_test_products();

// What the helper's own queries say, through the real msi.dll.
std::optional<std::string> installed_version(const std::string& upgrade_code);
std::optional<std::string> install_location(const std::string& upgrade_code);

}  // namespace lumar::test
