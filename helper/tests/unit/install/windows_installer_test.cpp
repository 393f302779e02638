// What the logic makes of the installer's answers: which installed version
// counts and which folder is the product's, over the shared fake installer;
// the msiexec line; the package errors as the adapters word them. The reads
// themselves run against Wine's msi.dll (tests/wine).
#include "update/install/windows_installer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_environment.h"
#include "fakes/fake_installer.h"
#include "fakes/test_products.h"

namespace lumar {
namespace {

using test::kLite;
using ::testing::ElementsAre;

test::FakeProduct version(std::string text) { return {{"VersionString", std::move(text)}}; }
test::FakeProduct location(std::string text) { return {{"InstallLocation", std::move(text)}}; }

TEST(InstalledVersion, IsTheHighestAsNumbersInEitherOrder) {
  test::FakeWindowsInstaller installer;
  EXPECT_EQ(installed_version(installer, kLite), std::nullopt);
  EXPECT_THAT(installer.asked, ElementsAre("VersionString of " + kLite));

  installer.products[kLite] = {version("2.0.1"), location(R"(C:\no version)"), version("2.0.10"),
                               version("2.0.9")};
  EXPECT_EQ(installed_version(installer, kLite), "2.0.10");
  std::swap(installer.products[kLite][0], installer.products[kLite][2]);
  EXPECT_EQ(installed_version(installer, kLite), "2.0.10");
  // Another family, or the same code in other letter case, is not asked for.
  EXPECT_EQ(installed_version(installer, ascii_lower(kLite)), std::nullopt);
}

TEST(InstalledVersion, OnlyAGreaterVersionReplacesTheFirst) {
  test::FakeWindowsInstaller installer;
  // Equal versions keep the first text; an unreadable first version is
  // never replaced, as nothing compares greater than it.
  installer.products[kLite] = {version("2.0.10.0"), version("2.0.10")};
  EXPECT_EQ(installed_version(installer, kLite), "2.0.10.0");
  installer.products[kLite] = {version("beta"), version("2.0.10")};
  EXPECT_EQ(installed_version(installer, kLite), "beta");
}

TEST(InstallLocation, IsTheFirstThatIsNotBlankAndIsNotTrimmed) {
  test::FakeWindowsInstaller installer;
  EXPECT_EQ(install_location(installer, kLite), std::nullopt);

  installer.products[kLite] = {location(""), location(" \t\u3000"), version("1.0.0")};
  EXPECT_EQ(install_location(installer, kLite), std::nullopt);

  installer.products[kLite].push_back(location(R"( C:\Program Files\Lumar KQ Lite\ )"));
  installer.products[kLite].push_back(location(R"(D:\second)"));
  EXPECT_EQ(install_location(installer, kLite), R"( C:\Program Files\Lumar KQ Lite\ )");
  EXPECT_EQ(installer.asked.back(), "InstallLocation of " + kLite);
}

TEST(Msiexec, ComesFromSystemRootOrTheDefaultWindowsFolder) {
  test::FakeEnvironment environment;
  EXPECT_EQ(msiexec_path(environment), R"(C:\Windows\System32\msiexec.exe)");
  environment.values["SystemRoot"] = R"(D:\win\)";
  EXPECT_EQ(msiexec_path(environment), R"(D:\win\System32\msiexec.exe)");
}

TEST(Msiexec, InstallsQuietlyWithAVerboseLogAndQuotesPathsWithSpaces) {
  EXPECT_EQ(msiexec_command_line(R"(C:\windows\System32\msiexec.exe)",
                                 R"(C:\windows\SystemTemp\lumar-update-77-1.msi)",
                                 R"(C:\windows\SystemTemp\lumar-update-77-1.log)"),
            R"("C:\windows\System32\msiexec.exe" /i C:\windows\SystemTemp\lumar-update-77-1.msi )"
            R"(/quiet /norestart MSIRESTARTMANAGERCONTROL=Disable )"
            R"(/l*v C:\windows\SystemTemp\lumar-update-77-1.log)");
  EXPECT_EQ(
      msiexec_command_line(R"(C:\Windows\System32\msiexec.exe)",
                           R"(C:\Temp Dir\lumar-update-1-2.msi)",
                           R"(C:\Temp Dir\lumar-update-1-2.log)"),
      R"("C:\Windows\System32\msiexec.exe" /i "C:\Temp Dir\lumar-update-1-2.msi" /quiet )"
      R"(/norestart MSIRESTARTMANAGERCONTROL=Disable /l*v "C:\Temp Dir\lumar-update-1-2.log")");
}

// Wine's msi.dll cannot be made to fail a query or a read of a package it
// opened, so those texts are shown here as both adapters word them.
TEST(PackageProperties, EachFailureNamesItsStepThePropertyAndTheCode) {
  EXPECT_EQ(package_open_error(1619), "open package (1619)");
  EXPECT_EQ(property_query_error("UpgradeCode", 1615), "query UpgradeCode (1615)");
  EXPECT_EQ(property_missing_error("ProductVersion"), "package has no ProductVersion");
  EXPECT_EQ(property_read_error("UpgradeCode", 234), "read UpgradeCode (234)");
}

TEST(PackageProperties, UpgradeCodeIsReadFirstAndTheFirstErrorIsFinal) {
  std::vector<std::string> asked;
  const auto reading = [&](std::optional<std::string> failing) {
    asked.clear();
    return read_package_info([&, failing](std::string_view name) -> Result<std::string> {
      asked.emplace_back(name);
      if (failing == name) return fail(property_missing_error(name));
      return "value of " + std::string(name);
    });
  };
  Result<MsiPackageInfo> info = reading(std::nullopt);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->upgrade_code, "value of UpgradeCode");
  EXPECT_EQ(info->product_version, "value of ProductVersion");
  EXPECT_THAT(asked, ElementsAre("UpgradeCode", "ProductVersion"));

  EXPECT_EQ(reading("UpgradeCode").error(), "package has no UpgradeCode");
  EXPECT_THAT(asked, ElementsAre("UpgradeCode"));
  EXPECT_EQ(reading("ProductVersion").error(), "package has no ProductVersion");
}

}  // namespace
}  // namespace lumar
