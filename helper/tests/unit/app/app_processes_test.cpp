#include "update/app/app_processes.h"

#include <gtest/gtest.h>

#include "fakes/fake_processes.h"

namespace lumar {
namespace {

using test::app_process;
using test::fails_with;
using test::FakeProcesses;
using test::kAppPath;

class FindAppInstances : public testing::Test {
 protected:
  FakeProcesses processes;
};

TEST_F(FindAppInstances, PathWithoutFileNameTakesNoSnapshot) {
  processes.add(app_process(8));
  for (const char* path : {"", R"(C:\)", R"(C:\Program Files\..)"}) {
    EXPECT_TRUE(find_app_instances(processes, path).empty()) << path;
  }
  EXPECT_EQ(processes.snapshots, 0);
}

TEST_F(FindAppInstances, FailedSnapshotIsAnEmptyList) {
  processes.add(app_process(8));
  processes.snapshot_error = 18;  // ERROR_NO_MORE_FILES
  EXPECT_TRUE(find_app_instances(processes, kAppPath).empty());
  EXPECT_TRUE(processes.opened.empty());
}

TEST_F(FindAppInstances, ListsExactCopiesInSnapshotOrderAndOpensOnlyMatchingNames) {
  processes.add(app_process(20, 2u, 555u));
  processes.add({.pid = 4, .exe_name = "explorer.exe", .image = R"(C:\Windows\explorer.exe)"});
  // Same name, another folder: opened, compared, left out.
  processes.add(
      {.pid = 9, .exe_name = "lumar-desktop.exe", .image = R"(C:\Users\eve\lumar-desktop.exe)"});
  // ASCII case differences in name and folder still match.
  processes.add({.pid = 7,
                 .exe_name = "LUMAR-DESKTOP.EXE",
                 .image = R"(c:\program files\LUMAR KQ\Lumar-Desktop.exe)",
                 .session = 1,
                 .created = 444});

  {
    const std::vector<AppInstance> found = find_app_instances(processes, kAppPath);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(test::fake_value(found[0].process), 20u);
    EXPECT_EQ(found[0].session_id, 2u);
    EXPECT_EQ(found[0].created, 555u);
    EXPECT_EQ(test::fake_value(found[1].process), 7u);
    EXPECT_EQ(found[1].session_id, 1u);
    EXPECT_EQ(found[1].created, 444u);
    EXPECT_EQ(processes.opened, (std::vector<std::uint32_t>{20, 9, 7}));
    EXPECT_EQ(processes.open_handles, 2);  // the other folder's handle is closed already
  }
  EXPECT_EQ(processes.open_handles, 0);  // the list owns what it holds
}

TEST_F(FindAppInstances, NonAsciiCaseAndUnnormalisedPathsDoNotMatch) {
  const std::string accented = "C:\\Apps\\l\xC3\xBCmar-desktop.exe";  // ü
  processes.add({.pid = 5,
                 .exe_name = "l\xC3\x9Cmar-desktop.exe",  // Ü
                 .image = "C:\\Apps\\l\xC3\x9Cmar-desktop.exe"});
  processes.add(app_process(6));
  EXPECT_TRUE(find_app_instances(processes, accented).empty());
  EXPECT_TRUE(processes.opened.empty());
  // The system reports backslashes, long names and no prefix; nothing is
  // normalised to meet it.
  for (const char* path :
       {"C:/Program Files/Lumar KQ/lumar-desktop.exe", R"(C:\PROGRA~1\LUMARK~1\lumar-desktop.exe)",
        R"(\\?\C:\Program Files\Lumar KQ\lumar-desktop.exe)"}) {
    EXPECT_TRUE(find_app_instances(processes, path).empty()) << path;
  }
  EXPECT_EQ(processes.open_handles, 0);
}

TEST_F(FindAppInstances, ImagePathsWithLoneSurrogatesMatchTheSameText) {
  const OsString odd = "C:\\Apps\\\xED\xA0\x80\\lumar-desktop.exe";  // lone U+D800
  processes.add({.pid = 5, .exe_name = "lumar-desktop.exe", .image = odd});
  EXPECT_EQ(find_app_instances(processes, odd).size(), 1u);
}

TEST_F(FindAppInstances, EveryFailedQueryLeavesTheProcessOutAndClosesItsHandle) {
  processes.add(app_process(1)).openable = false;
  // Could be looked at, but not waited for or ended: no use as a copy.
  processes.add(app_process(6)).controllable = false;
  processes.add(app_process(2)).image = fails_with(31);
  processes.add(app_process(3, fails_with(5)));
  processes.add(app_process(4, 1u, fails_with(5)));
  processes.add(app_process(5));
  const std::vector<AppInstance> found = find_app_instances(processes, kAppPath);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(test::fake_value(found[0].process), 5u);
  EXPECT_EQ(processes.opened, (std::vector<std::uint32_t>{1, 6, 2, 3, 4, 5}));
  EXPECT_EQ(processes.open_handles, 1);
}

}  // namespace
}  // namespace lumar
