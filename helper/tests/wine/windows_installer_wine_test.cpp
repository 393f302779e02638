// The Windows Installer adapter against Wine's msi.dll, real packages built
// by wixl and products installed by msiexec. Its msiexec runs are shown by
// the installer worker's Wine tests.
#include <gtest/gtest.h>

#include <windows.h>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "support/package_support.h"
#include "support/wine_harness.h"
#include "update/install/windows_installer.h"

namespace lumar::test {
namespace {

class WindowsInstallerWine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { uninstall_test_products(); }
  static void TearDownTestSuite() { uninstall_test_products(); }

  Result<MsiPackageInfo> read(const std::wstring& name) {
    return installer->read_package_properties(narrow_keep_surrogates(package_path(name)));
  }

  std::unique_ptr<Environment> environment = make_win32_environment();
  std::unique_ptr<WindowsInstaller> installer = make_win32_windows_installer(*environment);
};

TEST_F(WindowsInstallerWine, ReadsTheUpgradeCodeAndVersionOfRealPackages) {
  Result<MsiPackageInfo> info = read(L"lite-1.1.0.msi");
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->upgrade_code, kLiteCode);
  EXPECT_EQ(info->product_version, "1.1.0");

  info = read(L"lite-1.1.0-lower.msi");
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->upgrade_code, ascii_lower(kLiteCode)) << "returned exactly as stored";

  // 127 characters and the 0 fill the first buffer; 143 need the second.
  info = read(L"lite-version-127.msi");
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->product_version, long_version(62));
  EXPECT_EQ(info->product_version.size(), 127u);
  info = read(L"lite-long-version.msi");
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->product_version, long_version(70));
}

// Wine's msi.dll gives no way to make the query or the read of a property
// fail on a package it opened; those texts are shown by the unit tests.
TEST_F(WindowsInstallerWine, PackagesThatCannotBeReadSayWhy) {
  EXPECT_EQ(read(L"lite-no-version.msi").error(), "package has no ProductVersion");
  // Wine answers 1627 for a file that is no installer database, and for a
  // missing one (Windows gives other codes there).
  EXPECT_EQ(read(L"not-msi.exe").error(), "open package (1627)");
  const Result<MsiPackageInfo> missing = read(L"no-such-package.msi");
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(missing.error().starts_with("open package (")) << missing.error();
}

TEST_F(WindowsInstallerWine, APackageHeldOpenWithReadSharingCanStillBeRead) {
  // The staged package is held this way while it is checked and installed.
  const UniqueFile held(::CreateFileW(package_path(L"lite-1.0.0.msi").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  Result<MsiPackageInfo> info = read(L"lite-1.0.0.msi");
  ASSERT_TRUE(info.has_value()) << info.error();
  EXPECT_EQ(info->product_version, "1.0.0");
}

TEST_F(WindowsInstallerWine, InstalledProductsFollowWhatMsiexecInstalled) {
  using Values = std::vector<std::string>;
  EXPECT_EQ(installed_version(*installer, kLiteCode), std::nullopt);
  EXPECT_EQ(install_location(*installer, kLiteCode), std::nullopt);
  EXPECT_EQ(installer->related_product_info(kLiteCode, "VersionString"), Values{});

  ASSERT_EQ(install_package(L"lite-1.0.0.msi"), 0u);
  EXPECT_EQ(installer->related_product_info(kLiteCode, "VersionString"), Values{"1.0.0"});
  EXPECT_EQ(installed_version(*installer, kLiteCode), "1.0.0");
  // The type-51 action records the resolved folder, with its backslash.
  EXPECT_EQ(install_location(*installer, kLiteCode), narrow_lossy(kLiteFolder) + "\\");
  EXPECT_EQ(installer->related_product_info(kLiteCode, "NoSuchAttribute"), Values{});

  // Another family, and codes Windows Installer cannot use, give nothing.
  EXPECT_EQ(installed_version(*installer, kFullCode), std::nullopt);
  EXPECT_EQ(installer->related_product_info("not a code", "VersionString"), Values{});
  EXPECT_EQ(
      installer->related_product_info("{E4D28B06-93AF-5C47-B1E2-0F5A7D3C984}", "VersionString"),
      Values{});

  // A major upgrade replaces the product: one product, the new version.
  ASSERT_EQ(install_package(L"lite-1.1.0.msi"), 0u);
  EXPECT_EQ(installer->related_product_info(kLiteCode, "VersionString"), Values{"1.1.0"});
  // A package that fails leaves what was installed.
  EXPECT_EQ(install_package(L"lite-1.2.0-fails.msi"), 1603u);
  EXPECT_EQ(installed_version(*installer, kLiteCode), "1.1.0");
}

}  // namespace
}  // namespace lumar::test
