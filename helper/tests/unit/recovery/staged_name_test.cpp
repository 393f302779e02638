// The staged names are read back by the recovery of whichever helper starts
// next, possibly a later version, so their format is pinned here to the
// character.
#include "update/staged_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace lumar {
namespace {

TEST(StagedName, GoldenNameItsLogAndItsOwner) {
  const std::string name = staged_package_name(4242, 1700000000123456789u);
  EXPECT_EQ(name, "lumar-update-4242-1700000000123456789.msi");
  const OsString package = R"(C:\Temp\)" + name;
  const OsString log = installer_log_path(package);
  EXPECT_EQ(log, R"(C:\Temp\lumar-update-4242-1700000000123456789.log)");
  EXPECT_EQ(package_path_of_log(log), package);
  EXPECT_TRUE(is_staged_name(name, kStagedPackageSuffix));
  EXPECT_EQ(staging_owner_pid(package), 4242u);
  EXPECT_EQ(staging_owner_pid(log), 4242u);

  EXPECT_EQ(staged_package_name(0, 0), "lumar-update-0-0.msi");
  EXPECT_EQ(staged_package_name(4294967295u, 18446744073709551615u),
            "lumar-update-4294967295-18446744073709551615.msi");
}

TEST(StagedName, RecognisesBothEndsWithoutCase) {
  struct Case {
    const char* name;
    std::string_view suffix;
    bool staged;
  };
  for (const Case& c : {
           Case{"LUMAR-UPDATE-11-2.MSI", kStagedPackageSuffix, true},
           Case{"Lumar-Update-11-2.Log", kStagedLogSuffix, true},
           Case{"lumar-update-.msi", kStagedPackageSuffix, true},  // the ends are all it takes
           Case{"lumar-update-10-1.log", kStagedPackageSuffix, false},
           Case{"lumar-update-10-1.msi", kStagedLogSuffix, false},
           Case{"xlumar-update-12-3.msi", kStagedPackageSuffix, false},
           Case{"lumar-update.msi", kStagedPackageSuffix, false},
           Case{"notes.txt", kStagedPackageSuffix, false},
       }) {
    EXPECT_EQ(is_staged_name(c.name, c.suffix), c.staged) << c.name;
  }
}

TEST(StagedName, OwnerPidIsTheNumberAfterThePrefix) {
  struct Case {
    const char* path;
    std::optional<std::uint32_t> pid;
  };
  for (const Case& c : {
           Case{R"(C:\Temp\lumar-update-1234-1700000000.msi)", 1234u},
           Case{"C:/Temp/lumar-update-1234-1.msi", 1234u},
           Case{R"(\\?\C:\Temp/lumar-update-1234-1.msi)", std::nullopt},  // "/" is no separator
           Case{"LUMAR-UPDATE-77-1.MSI", 77u},
           Case{"lumar-update-+8-1.msi", 8u},
           Case{"lumar-update-42", 42u},  // no dash: to the end
           Case{"lumar-update-4294967295-1.msi", 4294967295u},
           Case{"lumar-update-4294967296-1.msi", std::nullopt},
           Case{"lumar-update-abc-1.msi", std::nullopt},
           Case{"lumar-update--1.msi", std::nullopt},
           Case{"lumar-update-+-1.msi", std::nullopt},
           Case{"lumar-update-++1-1.msi", std::nullopt},
           Case{"lumar-update-12.msi", std::nullopt},
           Case{"lumar-update-", std::nullopt},
           Case{"lumar-update", std::nullopt},
           Case{"update-12-1.msi", std::nullopt},
           Case{"lumar-update- 1-1.msi", std::nullopt},
       }) {
    EXPECT_EQ(staging_owner_pid(c.path), c.pid) << c.path;
  }
}

TEST(StagedName, LogPathReplacesTheExtension) {
  EXPECT_EQ(installer_log_path(R"(C:\a.b\package)"), R"(C:\a.b\package.log)");
  EXPECT_EQ(installer_log_path(R"(C:\a\.msi)"), R"(C:\a\.msi.log)");
}

}  // namespace
}  // namespace lumar
