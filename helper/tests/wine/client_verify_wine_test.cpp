// "lumar-helper-client verify" under Wine: the helper's checks on the test
// packages through the real msi.dll, the verdicts lumar-release-check gives
// for the same packages on Linux. The version installed on the machine is
// read from Wine's installer, which registers products as Windows does.
#include <gtest/gtest.h>

#include <string>

#include "main/base/text_win32.h"
#include "support/package_support.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

class ClientVerify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { uninstall_test_products(); }
  static void TearDownTestSuite() { uninstall_test_products(); }

  static RunResult verify(const std::wstring& package, const std::wstring& signature,
                          const std::wstring& options = L"") {
    return run(quote(client_exe()) + L" verify " + quote(package_path(package)) + L" " +
               quote(package_path(signature)) + options);
  }
};

std::string last_line(const std::string& out) {
  std::string text = out;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::size_t start = text.rfind('\n');
  return start == std::string::npos ? text : text.substr(start + 1);
}

TEST_F(ClientVerify, AcceptsANewerPackageSignedByTheBuiltInKey) {
  const RunResult result =
      verify(L"lite-1.1.0.msi", L"lite-1.1.0.msi.minisig", L" --installed 1.0.0");
  EXPECT_EQ(result.exit_code, 0u) << result.out;
  EXPECT_EQ(last_line(result.out), "accepted: Lumar KQ Lite 1.1.0");
}

TEST_F(ClientVerify, NamesBothKeysWhenAnotherKeySigned) {
  const RunResult result =
      verify(L"lite-1.1.0.msi", L"lite-1.1.0.msi.other-key.minisig", L" --installed 1.0.0");
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_NE(result.out.find("signature key id: BE664E1FDBF85593\n"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("trusted key id: 16EF79FFEA8C716F\n"), std::string::npos);
  EXPECT_EQ(last_line(result.out), "refused: signature does not match the Lumar updater key");
}

TEST_F(ClientVerify, RefusesAnotherProductsPackage) {
  const RunResult result = verify(L"other-1.1.0.msi", L"other-1.1.0.msi.minisig", L" --json");
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_NE(result.out.find(std::string("\"verdict\": \"refused: package is not a Lumar KQ "
                                        "release (UpgradeCode ") +
                            kOtherCode + ")\""),
            std::string::npos)
      << result.out;
}

TEST_F(ClientVerify, ComparesWithTheVersionInstalledHere) {
  const RunResult none = verify(L"lite-1.1.0.msi", L"lite-1.1.0.msi.minisig");
  EXPECT_EQ(none.exit_code, 1u);
  EXPECT_EQ(last_line(none.out),
            "refused: Lumar KQ Lite is not installed through Windows Installer on this machine");

  ASSERT_EQ(install_package(L"lite-1.1.0.msi"), 0u);
  const RunResult same = verify(L"lite-1.1.0.msi", L"lite-1.1.0.msi.minisig");
  EXPECT_EQ(same.exit_code, 1u);
  EXPECT_EQ(last_line(same.out), "refused: package 1.1.0 is not newer than the installed 1.1.0");
}

TEST_F(ClientVerify, AMissingFileIsAUsageLevelFailure) {
  const RunResult result = verify(L"no-such.msi", L"lite-1.1.0.msi.minisig");
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(last_line(result.out)
                .rfind("refused: read " + narrow_lossy(package_path(L"no-such.msi")) + ": ", 0),
            0u)
      << result.out;
}

}  // namespace
}  // namespace lumar::test
