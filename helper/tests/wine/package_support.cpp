#include "package_support.h"

#include <memory>

#include "update/installer_queries.h"

namespace lumar::test {

namespace {

MsiQueries& queries() {
  static const std::unique_ptr<MsiApi> api = make_win32_msi_api();
  static MsiQueries instance(*api);
  return instance;
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
    for (const ProductCode& product : queries().enumerate_related_products(code)) {
      const std::wstring product_code(product.begin(), product.begin() + 38);
      run(L"msiexec /x " + product_code + L" /quiet /norestart");
    }
  }
}

std::optional<std::string> installed_version(const std::string& upgrade_code) {
  return queries().installed_version(upgrade_code);
}

std::optional<std::string> install_location(const std::string& upgrade_code) {
  return queries().install_location(upgrade_code);
}

}  // namespace lumar::test
