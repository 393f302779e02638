#include "package_support.h"

#include <msi.h>

#include <memory>
#include <vector>

#include "main/base/text_win32.h"

#include "update/install/windows_installer.h"

namespace lumar::test {

namespace {

WindowsInstaller& installer() {
  static const std::unique_ptr<Environment> environment = make_win32_environment();
  static const std::unique_ptr<WindowsInstaller> instance =
      make_win32_windows_installer(*environment);
  return *instance;
}

}  // namespace

std::wstring package_path(const std::wstring& name) {
  return bin_dir() + L"\\helper\\tests\\packages\\" + name;
}

DWORD install_package(const std::wstring& name) {
  return run(L"msiexec /i " + quote(package_path(name)) + L" /quiet /norestart").exit_code;
}

void uninstall_test_products() {
  for (const char* code : {kLiteCode, kFullCode, kOtherCode}) {
    // The helper never needs the product codes; msiexec /x does.
    std::vector<std::wstring> products;
    wchar_t product[39] = {};
    for (DWORD index = 0;
         ::MsiEnumRelatedProductsW(wide(code).c_str(), 0, index, product) == ERROR_SUCCESS;
         ++index) {
      products.emplace_back(product);
    }
    for (const std::wstring& product_code : products) {
      run(L"msiexec /x " + product_code + L" /quiet /norestart");
    }
  }
}

std::optional<std::string> installed_version(const std::string& upgrade_code) {
  return lumar::installed_version(installer(), upgrade_code);
}

std::optional<std::string> install_location(const std::string& upgrade_code) {
  return lumar::install_location(installer(), upgrade_code);
}

}  // namespace lumar::test
