// The warnings for versions the helper accepts but Windows Installer cannot
// order, at the edges of each field; the checks themselves run on real
// packages in tests/release_check.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "update/acceptance/release_check.h"

namespace lumar {
namespace {

struct WarningCase {
  const char* version;
  std::optional<std::string> installed;
  std::size_t warnings;
};

TEST(VersionWarnings, FlagOnlyWhatWindowsInstallerCannotOrder) {
  const WarningCase cases[] = {
      {"255.255.65535", std::nullopt, 0},
      {"256.0.0", std::nullopt, 1},
      {"1.256.0", std::nullopt, 1},
      {"1.0.65536", std::nullopt, 1},
      {"300.300.70000", std::nullopt, 3},
      {"1.1.0.1", std::string("1.1.0"), 1},
      {"1.1.0.0.1", std::string("1.1"), 1},
      {"1.1.1", std::string("1.1.0.9"), 0},
      {"1.1.0", std::string("1.1.0.1"), 0},  // older: the helper refuses it anyway
      {"not a version", std::string("1.0"), 0},
  };
  for (const WarningCase& c : cases) {
    EXPECT_EQ(version_warnings(c.version, c.installed).size(), c.warnings) << c.version;
  }
}

}  // namespace
}  // namespace lumar
