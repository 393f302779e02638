// The installer queries against Wine's msi.dll, real packages built by wixl
// and products installed by msiexec.
#include <gtest/gtest.h>

#include <windows.h>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "package_support.h"
#include "update/installer_queries.h"
#include "wine_harness.h"

namespace lumar::test {
namespace {

class InstallerQueriesWine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { uninstall_test_products(); }
  static void TearDownTestSuite() { uninstall_test_products(); }

  Result<MsiPackageInfo> read(const std::wstring& name) {
    return queries.read_package_properties(narrow_keep_surrogates(package_path(name)));
  }

  std::unique_ptr<MsiApi> api = make_win32_msi_api();
  MsiQueries queries{*api};
};

TEST_F(InstallerQueriesWine, ReadsTheUpgradeCodeAndVersionOfRealPackages) {
  Result<MsiPackageInfo> info = read(L"lite-1.1.0.msi");
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->upgrade_code, kLiteCode);
  EXPECT_EQ(info->product_version, "1.1.0");

  info = read(L"lite-1.1.0-lower.msi");
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->upgrade_code, ascii_lower(kLiteCode)) << "returned exactly as stored";

  // 143 characters: more than the first buffer holds.
  info = read(L"lite-long-version.msi");
  ASSERT_TRUE(info) << info.error();
  std::string expected = "0.9";
  for (int i = 0; i < 70; ++i) expected += ".0";
  EXPECT_EQ(info->product_version, expected);
}

TEST_F(InstallerQueriesWine, PackagesThatCannotBeReadSayWhy) {
  EXPECT_EQ(read(L"lite-no-version.msi").error(), "package has no ProductVersion");
  // Wine answers 1627 for a file that is no installer database, and for a
  // missing one (Windows gives other codes there).
  EXPECT_EQ(read(L"not-msi.exe").error(), "open package (1627)");
  const Result<MsiPackageInfo> missing = read(L"no-such-package.msi");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().starts_with("open package (")) << missing.error();
}

TEST_F(InstallerQueriesWine, APackageHeldOpenWithReadSharingCanStillBeRead) {
  // The staged package is held this way while it is checked and installed.
  const UniqueFile held(::CreateFileW(package_path(L"lite-1.0.0.msi").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  Result<MsiPackageInfo> info = read(L"lite-1.0.0.msi");
  ASSERT_TRUE(info) << info.error();
  EXPECT_EQ(info->product_version, "1.0.0");
}

TEST_F(InstallerQueriesWine, InstalledVersionAndLocationFollowWhatMsiexecInstalled) {
  EXPECT_EQ(queries.installed_version(kLiteCode), std::nullopt);
  EXPECT_EQ(queries.install_location(kLiteCode), std::nullopt);
  EXPECT_TRUE(queries.enumerate_related_products(kLiteCode).empty());

  ASSERT_EQ(install_package(L"lite-1.0.0.msi"), 0u);
  const std::vector<ProductCode> products = queries.enumerate_related_products(kLiteCode);
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(products[0][0], u'{');
  EXPECT_EQ(products[0][37], u'}');
  EXPECT_EQ(products[0][38], u'\0');
  EXPECT_EQ(queries.read_product_info(products[0], "VersionString"), "1.0.0");
  EXPECT_EQ(queries.installed_version(kLiteCode), "1.0.0");
  // The type-51 action records the resolved folder, with its backslash.
  EXPECT_EQ(queries.install_location(kLiteCode), narrow_lossy(kLiteFolder) + "\\");
  EXPECT_EQ(queries.read_product_info(products[0], "NoSuchAttribute"), std::nullopt);

  // Another family, and codes Windows Installer cannot use, give nothing.
  EXPECT_EQ(queries.installed_version(kFullCode), std::nullopt);
  EXPECT_TRUE(queries.enumerate_related_products("not a code").empty());
  EXPECT_TRUE(queries.enumerate_related_products("{E4D28B06-93AF-5C47-B1E2-0F5A7D3C984}").empty());

  // A major upgrade replaces the product: one product, the new version.
  ASSERT_EQ(install_package(L"lite-1.1.0.msi"), 0u);
  EXPECT_EQ(queries.enumerate_related_products(kLiteCode).size(), 1u);
  EXPECT_EQ(queries.installed_version(kLiteCode), "1.1.0");
  // A package that fails leaves what was installed.
  EXPECT_EQ(install_package(L"lite-1.2.0-fails.msi"), 1603u);
  EXPECT_EQ(queries.installed_version(kLiteCode), "1.1.0");
}

}  // namespace
}  // namespace lumar::test
