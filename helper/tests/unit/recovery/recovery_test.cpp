// The scan for staged packages and the recovery after an interrupted update,
// on a pretend machine. Wine shows the real folders, mutex and processes
// (recovery_wine_test.cpp); it cannot show a console without a session or a
// session without a signed-in user, nor a ten-minute installer wait in a
// test's time, which are covered here.
#include "update/recovery/recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "fakes/fake_files.h"
#include "fakes/fake_installer.h"
#include "fakes/fake_leftover_folders.h"
#include "fakes/fake_log.h"
#include "fakes/fake_processes.h"
#include "fakes/test_products.h"
#include "main/base/windows_paths.h"
#include "update/staged_name.h"

namespace lumar {
namespace {

using test::kFull;
using test::kLite;

constexpr std::uint64_t kSecond = 10'000'000;  // FILETIME ticks
// The names helper `pid` stages a package and its log under.
std::string package_name(std::uint32_t pid, std::uint64_t unix_nanoseconds = 1) {
  return staged_package_name(pid, unix_nanoseconds);
}
std::string log_name(std::uint32_t pid) { return installer_log_path(package_name(pid)); }
const OsString kStaging = R"(C:\users\root\Temp\)";
const OsString kProductFolder = R"(C:\Program Files\Lumar KQ Lite\)";
const OsString kApp = R"(C:\Program Files\Lumar KQ Lite\lumar-desktop.exe)";
const std::string kNotInstalledLine =
    "service: interrupted update to 1.1.0: Lumar KQ Lite is not installed";

// Windows Installer's mutex: the answers given in turn, then absent.
class FakeInstallerMutex final : public InstallerMutexProbe {
 public:
  std::deque<InstallerMutex> answers;  // then kAbsent
  bool always_busy = false;
  int probes = 0;

  InstallerMutex probe() override {
    ++probes;
    if (always_busy) return InstallerMutex::kBusy;
    if (answers.empty()) return InstallerMutex::kAbsent;
    const InstallerMutex answer = answers.front();
    answers.pop_front();
    return answer;
  }
};

class RecoveryTest : public ::testing::Test {
 protected:
  RecoveryTest() {
    log.environment.values["SystemRoot"] = R"(C:\windows)";
    folders.staging = kStaging;
    folders.folders[kStaging] = {};
    installed_at(kLite, kProductFolder);
    files.existing = {kApp};
  }

  void package_of(const OsString& path, const std::string& upgrade_code) {
    installer.packages.insert_or_assign(path, MsiPackageInfo{upgrade_code, "1.1.0"});
  }
  void installed_at(const std::string& upgrade_code, const OsString& folder) {
    installer.products[upgrade_code] = {{{"InstallLocation", folder}}};
  }

  // Puts a package of the Lite product, staged `age_seconds` ago, into the
  // staging folder and returns its path.
  OsString stage(const std::string& name, std::uint64_t age_seconds,
                 const OsString& folder = kStaging) {
    folders.folders[folder].push_back({name, log.clock.filetime - age_seconds * kSecond});
    const OsString path = join_path(folder, name);
    package_of(path, kLite);
    return path;
  }
  void app_copy(std::uint32_t pid, std::uint32_t session) {
    processes.add({.pid = pid, .exe_name = "lumar-desktop.exe", .image = kApp, .session = session});
  }

  void recover() {
    recover_interrupted_update({folders, files, installer, installer_mutex, processes, sessions,
                                log.environment, log.clock, log.log});
  }
  std::vector<std::string> deletions_and_starts() const {
    std::vector<std::string> out;
    for (const std::string& e : events) {
      if (e.starts_with("delete ") || e.starts_with("start ")) out.push_back(e);
    }
    return out;
  }

  test::Events events;
  test::FakeLeftoverFolders folders;
  test::FakeFiles files{&events};
  FakeInstallerMutex installer_mutex;
  test::FakeWindowsInstaller installer;
  test::FakeProcesses processes{&events};
  test::FakeSessions sessions{&events};
  test::RecordingLog log;
};

TEST_F(RecoveryTest, ListsStagedPackagesFolderByFolderWithTheirAges) {
  folders.folders[R"(C:\windows\SystemTemp)"] = {};
  folders.folders[R"(C:\windows\Temp)"] = {};
  stage(package_name(10), 5);
  stage("notes.txt", 5);
  stage(log_name(10), 5);
  stage("LUMAR-UPDATE-11-2.MSI", 7);
  stage("lumar-update-.msi", 1);  // a name only: still a staged package's name
  stage("xlumar-update-12-3.msi", 1);
  stage(package_name(13, 4), 2, R"(C:\windows\Temp)");
  stage(package_name(14, 5), 3, R"(C:\windows\SystemTemp)");

  const std::vector<LeftoverPackage> found =
      list_leftover_packages(folders, log.environment, log.clock);
  std::vector<std::pair<OsString, std::uint64_t>> seen;
  for (const LeftoverPackage& p : found) seen.emplace_back(p.path, p.age.seconds);
  EXPECT_EQ(seen, (std::vector<std::pair<OsString, std::uint64_t>>{
                      {kStaging + package_name(10), 5},
                      {kStaging + "LUMAR-UPDATE-11-2.MSI", 7},
                      {kStaging + "lumar-update-.msi", 1},
                      {R"(C:\windows\SystemTemp\)" + package_name(14, 5), 3},
                      {R"(C:\windows\Temp\)" + package_name(13, 4), 2},
                  }));
}

TEST_F(RecoveryTest, AgesAreExactAndTheFutureIsNotListed) {
  folders.folders[kStaging] = {
      {package_name(1), log.clock.filetime - 12'345'678},
      {package_name(2), log.clock.filetime},
      {package_name(3), log.clock.filetime + 1},
  };
  const std::vector<LeftoverPackage> found =
      list_leftover_packages(folders, log.environment, log.clock);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].age.seconds, 1u);
  EXPECT_EQ(found[0].age.nanoseconds, 234'567'800u);
  EXPECT_EQ(found[1].age.seconds, 0u);
  EXPECT_EQ(found[1].age.nanoseconds, 0u);
}

TEST_F(RecoveryTest, FoldersThatCannotBeHadAreSkipped) {
  folders.staging.reset();
  folders.folders[R"(C:\windows\Temp)"] = {{package_name(1), log.clock.filetime}};
  // SystemTemp cannot be listed; the staging folder is unknown.
  ASSERT_EQ(list_leftover_packages(folders, log.environment, log.clock).size(), 1u);

  // Without SystemRoot only the private staging folder and, for packages
  // that earlier versions staged there, the temporary folder are scanned.
  folders.staging = kStaging;
  folders.temp = R"(C:\Users\svc\Temp\)";
  stage(package_name(2), 0);
  stage(package_name(3), 0, *folders.temp);
  log.environment.values.erase("SystemRoot");
  const std::vector<LeftoverPackage> found =
      list_leftover_packages(folders, log.environment, log.clock);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].path, kStaging + package_name(2));
  EXPECT_EQ(found[1].path, *folders.temp + package_name(3));
}

TEST_F(RecoveryTest, OnlyARunningLumarHelperIsALiveHelper) {
  const auto helper = [this](std::uint32_t pid, OsString image) -> test::FakeProcess& {
    return processes.add({.pid = pid, .exe_name = "lumar-helper.exe", .image = std::move(image)});
  };
  helper(10, R"(C:\Program Files\Lumar KQ Lite\lumar-helper.exe)");
  // Another account's helper, which may only be looked at, still counts.
  helper(11, R"(D:\ELSEWHERE\LUMAR-HELPER.EXE)").controllable = false;
  helper(12, R"(C:\Program Files\Lumar KQ Lite\lumar-desktop.exe)");
  helper(13, R"(C:\x\lumar-helper.exe.old)");
  helper(14, R"(C:\x\lumar-helper.exe)").running = false;
  helper(15, R"(C:\x\lumar-helper.exe)").running_unknown = 5;
  helper(16, "").image = test::fails_with(31);
  helper(17, R"(C:\x\xlumar-helper.exe)");
  helper(18, R"(C:\x\lumar-helper.exe)").openable = false;
  EXPECT_TRUE(is_live_helper(10, processes));
  EXPECT_TRUE(is_live_helper(11, processes));
  for (const std::uint32_t pid : {12u, 13u, 14u, 15u, 16u, 17u, 18u, 99u}) {
    EXPECT_FALSE(is_live_helper(pid, processes)) << pid;
  }
  EXPECT_EQ(processes.access, std::vector<ProcessAccess>(10, ProcessAccess::kQuery));
  EXPECT_EQ(processes.open_handles, 0);
}

TEST_F(RecoveryTest, NothingStagedMeansNothingDone) {
  recover();
  EXPECT_EQ(installer_mutex.probes, 0);
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(RecoveryTest, TheInstallerWaitEndsAfterTenMinutes) {
  stage(package_name(500), 10);
  installer_mutex.always_busy = true;
  recover();
  EXPECT_EQ(installer_mutex.probes, 300);  // at 0, 2, ..., 598 seconds
  EXPECT_EQ(log.clock.sleeps, std::vector<std::chrono::milliseconds>(300, std::chrono::seconds(2)));
  EXPECT_EQ(sessions.starts.size(), 1u) << "recovery goes on all the same";
}

TEST_F(RecoveryTest, AnIdleOrFailedMutexWaitEndsTheWaitAtOnce) {
  for (const InstallerMutex answer : {InstallerMutex::kAcquired, InstallerMutex::kFailed}) {
    installer_mutex.probes = 0;
    stage(package_name(500), 10);
    installer_mutex.answers = {answer, InstallerMutex::kBusy};
    recover();
    EXPECT_EQ(installer_mutex.probes, 1);
  }
  EXPECT_TRUE(log.clock.sleeps.empty());
}

TEST_F(RecoveryTest, ACopyInAnotherSessionDoesNotPreventTheStart) {
  stage(package_name(500), 10);
  app_copy(40, 2);
  recover();
  ASSERT_EQ(sessions.starts.size(), 1u);
  EXPECT_EQ(sessions.starts[0].session, 1u);
  EXPECT_EQ(processes.open_handles, 0);
}

TEST_F(RecoveryTest, WithoutAConsoleSessionOrphansAreDeletedAndNothingStarts) {
  const OsString orphan = stage(package_name(500), 10);
  sessions.console = std::nullopt;
  recover();
  EXPECT_EQ(deletions_and_starts(), (std::vector<std::string>{"delete " + orphan}));
  EXPECT_EQ(log.lines(), std::vector<std::string>{kNotInstalledLine});
}

TEST_F(RecoveryTest, AConsoleSessionWithoutAUserLogsTheFailedStart) {
  stage(package_name(500), 10);
  sessions.console = 3;  // nobody signed in there
  recover();
  EXPECT_TRUE(sessions.starts.empty());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             kNotInstalledLine,
                             "service: start the app after an interrupted update: no signed-in "
                             "user in session 3 (1008)"}));
}

TEST_F(RecoveryTest, APackageListedTwiceIsDeletedTwiceAndStartsTheAppOnce) {
  folders.staging = R"(C:\windows\Temp)";  // the staging folder is also SystemRoot's Temp
  const OsString orphan = stage(package_name(500), 10, R"(C:\windows\Temp)");
  recover();
  // The app before the deletions: a helper that dies in between still
  // leaves the package that makes the next start bring the app back.
  EXPECT_EQ(
      deletions_and_starts(),
      (std::vector<std::string>{"start in session 1", "delete " + orphan, "delete " + orphan}));
}

TEST_F(RecoveryTest, EachAppPathIsStartedOnceInAsciiOrder) {
  stage(package_name(500), 10);
  // Another product, installed in a folder that sorts first.
  package_of(stage(package_name(501), 20), kFull);
  installed_at(kFull, R"(c:\program files\a lumar)");
  const OsString other_app = R"(c:\program files\a lumar\lumar-desktop.exe)";
  files.existing.insert(other_app);
  // The first product again, its UpgradeCode and folder in other letter case.
  const std::string lite_lower = ascii_lower(kLite);
  package_of(stage(package_name(502), 30), lite_lower);
  installed_at(lite_lower, R"(C:\PROGRAM FILES\LUMAR KQ LITE\)");

  recover();
  std::vector<OsString> started;
  for (const test::Start& s : sessions.starts) started.push_back(s.launch.application);
  EXPECT_EQ(started, (std::vector<OsString>{other_app, kApp}));
  EXPECT_EQ(std::count_if(log.lines().begin(), log.lines().end(),
                          [](const std::string& l) { return l.starts_with("service: started"); }),
            2);
}

TEST_F(RecoveryTest, AnOrphanOfNoInstalledEditionStartsNothing) {
  const OsString gone = stage(package_name(500), 10);
  installer.products.clear();  // the product was removed
  const OsString broken = stage(package_name(501), 10);
  installer.packages.erase(broken);
  // Another product's package, installed with an app of the same file name:
  // recovery must not start what a foreign package points at.
  const OsString foreign = stage(package_name(502), 10);
  package_of(foreign, "{00000000-1111-2222-3333-444444444444}");
  installed_at("{00000000-1111-2222-3333-444444444444}", kProductFolder);
  recover();
  // No installer ran on what is no package of ours: its log goes too.
  EXPECT_EQ(deletions_and_starts(),
            (std::vector<std::string>{"delete " + gone, "delete " + broken, "delete " + foreign,
                                      "delete " + installer_log_path(broken),
                                      "delete " + installer_log_path(foreign)}));
  EXPECT_EQ(log.lines(), std::vector<std::string>{kNotInstalledLine});
}

// Any user may create "lumar-update-*.msi" in "{SystemRoot}\Temp". Wine runs
// every program as its one user, so the owners are only shown with fakes.
TEST_F(RecoveryTest, FilesSomeoneElseOwnsAreNeitherListedReadDeletedNorWaitedFor) {
  const OsString own = stage(package_name(500), 7200);
  for (const OsString& planted : {stage(package_name(501), 10, R"(C:\windows\Temp)"),
                                  stage(package_name(502), 7200, R"(C:\windows\Temp)")}) {
    folders.foreign.insert(planted);
  }
  const std::vector<LeftoverPackage> found =
      list_leftover_packages(folders, log.environment, log.clock);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path, own);

  recover();
  EXPECT_EQ(deletions_and_starts(), (std::vector<std::string>{"delete " + own}));
  EXPECT_EQ(installer_mutex.probes, 0) << "only a planted package was recent";
  EXPECT_EQ(installer.packages_read, std::vector<OsString>{own});
}

// How the update ended decides the fate of its installer log.
TEST_F(RecoveryTest, EachLeftoverSaysHowItsUpdateEndedAndKeepsTheLogOfOneNotInstalled) {
  const struct {
    std::optional<std::string> installed;
    std::string line;
    bool log_kept;
  } cases[] = {
      {"1.1.0", "service: interrupted update to 1.1.0: Lumar KQ Lite 1.1.0 is installed", false},
      {"1.0.0", "service: interrupted update to 1.1.0: Lumar KQ Lite 1.0.0 is installed", true},
      {std::nullopt, kNotInstalledLine, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    events.clear();
    log.file.messages.clear();
    installer.products[kLite] = {{{"InstallLocation", kProductFolder}}};
    if (c.installed) installer.products[kLite][0]["VersionString"] = *c.installed;
    const OsString orphan = stage(package_name(500), 7200);
    const OsString orphan_log = installer_log_path(orphan);
    files.existing.insert(orphan_log);

    recover();
    std::vector<std::string> lines{c.line};
    std::vector<std::string> deleted{"delete " + orphan};
    if (c.log_kept) {
      lines.push_back("service: msiexec log kept at " + orphan_log);
    } else {
      deleted.push_back("delete " + orphan_log);
    }
    EXPECT_EQ(log.lines(), lines);
    EXPECT_EQ(deletions_and_starts(), deleted);
    folders.folders[kStaging].clear();
  }
}

// Only an old log of a gone helper, with no package beside it, and the
// helper's own, is a leftover log.
TEST_F(RecoveryTest, OldInstallerLogsBesideNoPackageAreDeleted) {
  processes.add({.pid = 10, .exe_name = "lumar-helper.exe", .image = R"(C:\x\lumar-helper.exe)"});
  const OsString stale = stage(log_name(500), 7200);
  stage(log_name(501), 10);    // recent
  stage(log_name(10), 7200);   // its helper runs
  stage(log_name(502), 7200);  // a package beside it
  files.existing.insert(kStaging + package_name(502));
  folders.foreign.insert(stage(log_name(503), 7200));

  recover();
  EXPECT_EQ(deletions_and_starts(), std::vector<std::string>{"delete " + stale});
  EXPECT_EQ(installer_mutex.probes, 0);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(RecoveryTest, AnAppThatIsNotOnDiskIsNotStarted) {
  stage(package_name(500), 10);
  files.existing.clear();
  recover();
  EXPECT_TRUE(sessions.starts.empty());
  EXPECT_EQ(processes.snapshots, 0);
}

}  // namespace
}  // namespace lumar
