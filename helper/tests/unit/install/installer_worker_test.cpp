#include "update/install/installer_worker.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/fake_files.h"
#include "fakes/fake_installer.h"
#include "fakes/fake_log.h"
#include "fakes/fake_processes.h"
#include "fakes/fake_service_status.h"
#include "fakes/fake_threads.h"
#include "fakes/test_products.h"
#include "update/staged_name.h"

namespace lumar {
namespace {

using std::chrono::milliseconds;
using test::app_process;
using test::Events;
using test::FakeClock;
using test::FakeProcesses;
using test::FakeProgramStarter;
using test::FakeSessions;
using test::FakeStagedPackage;
using test::FakeStatusSink;
using test::FakeWindowsInstaller;
using test::kAppPath;

const OsString kPackage =
    R"(C:\windows\SystemTemp\)" + staged_package_name(77, 1700000000000000001u);
const OsString kLog = installer_log_path(kPackage);
constexpr std::uint32_t kCallerPid = 50;

// The worker against the pretend machine. Wine cannot show a 60 s wait
// without spending it, several sessions, or a copy created after a cutoff,
// so these run here; the Wine tests run the same worker with real msiexec.
class RunInstaller : public testing::Test {
 protected:
  RunInstaller() {
    clock.filetime = 1000;  // FILETIME ticks: later than the copies a test starts with
    control.set_status_handle(std::make_unique<FakeStatusSink>(events));
    processes.add(app_process(kCallerPid, 2u, 10u)).quits_when_waited_for = true;
    installer.products[test::kLite] = {{{"InstallLocation", R"(C:\Program Files\Lumar KQ\)"}}};
  }

  // An accepted job, holding the update's lease as acceptance leaves it.
  std::unique_ptr<InstallJob> job() {
    auto made = std::make_unique<InstallJob>();
    made->lease = UpdateLease::acquire(control);
    made->package = std::make_unique<FakeStagedPackage>(events, kPackage);
    made->version = "1.1.0";
    made->upgrade_code = test::kLite;
    made->caller.image_path = kAppPath;
    made->caller.process = *processes.open(kCallerPid, ProcessAccess::kControl);
    made->caller.session_id = *processes.find(kCallerPid)->session;
    return made;
  }

  // The events that show the order of the steps, without the closing of
  // the handles of other copies.
  std::vector<std::string> steps() const {
    std::vector<std::string> kept;
    for (const std::string& e : events) {
      if (!e.starts_with("close handle") || e == "close handle 50") kept.push_back(e);
    }
    return kept;
  }

  std::vector<std::uint32_t> started_sessions() const {
    std::vector<std::uint32_t> started;
    for (const test::Start& s : sessions.starts) started.push_back(s.session);
    return started;
  }

  Events events;
  FakeProcesses processes{&events};
  FakeSessions sessions{&events};
  FakeWindowsInstaller installer{&events};
  FakeProgramStarter programs{events};
  test::FakeFiles files;
  test::RecordingLog recording{&events};
  // The worker's clock sets the cutoffs; the log reads the same one.
  FakeClock& clock = recording.clock;
  HelperLog& log = recording.log;
  ServiceControlState control;
  InstallerContext context{processes, sessions, installer, programs, files, log, clock};
};

TEST_F(RunInstaller, SuccessfulInstallationClosesInstallsCleansUpRestartsAndHandsOver) {
  sessions.signed_in = {1, 2};
  processes.add(app_process(60, 1u, 20u));

  run_installer(*job(), context);

  EXPECT_EQ(steps(), (std::vector<std::string>{
                         "terminate 60 with 1",
                         "log install_update: closed a copy of the app in session 1",
                         "run installer",
                         "log install_update: 1.1.0: msiexec exit 0",
                         "start in session 1",
                         "log install_update: app restarted in session 1",
                         "start in session 2",
                         "log install_update: app restarted in session 2",
                         // Only once the app is back: until then a crash
                         // leaves the package for the recovery.
                         "drop package and log",
                         "report stop accepted",
                         "hand over",
                         "close handle 50",
                     }));
  ASSERT_EQ(installer.installs.size(), 1u);
  EXPECT_EQ(installer.installs[0].package, kPackage);
  EXPECT_EQ(installer.installs[0].log, kLog);
  ASSERT_EQ(programs.detached.size(), 1u);
  EXPECT_EQ(programs.detached[0].program, R"(C:\Program Files\Lumar KQ\lumar-helper.exe)");
  EXPECT_EQ(programs.detached[0].command_line,
            R"("C:\Program Files\Lumar KQ\lumar-helper.exe" install)");
  // The app quit within its 60 s: waited for once, never terminated.
  EXPECT_EQ(processes.waits[0],
            (std::pair<std::uint32_t, milliseconds>{kCallerPid, milliseconds(60000)}));
  EXPECT_EQ(std::count(events.begin(), events.end(), "terminate 50 with 1"), 0);
  EXPECT_FALSE(control.update_in_progress);
  EXPECT_EQ(processes.open_handles, 0);
}

struct ExitCase {
  std::uint32_t code;
  bool succeeded;
  const char* logged;
};

class InstallerExitCodes : public RunInstaller, public testing::WithParamInterface<ExitCase> {};

TEST_P(InstallerExitCodes, OnlyZeroAnd3010CountAsSuccess) {
  const ExitCase& c = GetParam();
  installer.exit_code = c.code;
  run_installer(*job(), context);

  const std::string exit_line = std::string("install_update: 1.1.0: msiexec exit ") + c.logged;
  if (c.succeeded) {
    EXPECT_NE(std::find(events.begin(), events.end(), "drop package and log"), events.end());
    EXPECT_EQ(recording.lines()[0], exit_line);
    EXPECT_EQ(programs.detached.size(), 1u);
  } else {
    EXPECT_NE(std::find(events.begin(), events.end(), "drop package, keep log"), events.end());
    EXPECT_EQ(recording.lines()[0], std::string("install_update: msiexec log kept at ") + kLog);
    EXPECT_EQ(recording.lines()[1], exit_line);
    EXPECT_TRUE(programs.detached.empty());
  }
  // Whatever the outcome: the package is gone, the app is back, the service
  // may stop again.
  EXPECT_EQ(started_sessions(), std::vector<std::uint32_t>{2});
  EXPECT_FALSE(control.update_in_progress);
  EXPECT_NE(std::find(events.begin(), events.end(), "report stop accepted"), events.end());
}

INSTANTIATE_TEST_SUITE_P(Codes, InstallerExitCodes,
                         testing::Values(ExitCase{3010, true, "3010"},
                                         ExitCase{1603, false, "1603"},
                                         ExitCase{1641, false, "1641"},
                                         ExitCase{0x80070005, false, "-2147024891"}));

TEST_F(RunInstaller, AppThatDoesNotQuitIsTerminatedAfterSixtySeconds) {
  processes.find(kCallerPid)->quits_when_waited_for = false;
  run_installer(*job(), context);
  EXPECT_EQ(
      std::vector<std::string>(events.begin(), events.begin() + 3),
      (std::vector<std::string>{"log install_update: the app did not exit in time; terminating it",
                                "terminate 50 with 1", "run installer"}));
  EXPECT_EQ(processes.waits,
            (std::vector<std::pair<std::uint32_t, milliseconds>>{
                {kCallerPid, milliseconds(60000)}, {kCallerPid, milliseconds(10000)}}));
}

TEST_F(RunInstaller, AlreadyInstalledVersionOnlyRestartsTheCaller) {
  sessions.signed_in = {1, 2};
  processes.add(app_process(60, 1u, 20u));
  std::unique_ptr<InstallJob> restart = job();
  restart->restart_only = true;
  run_installer(*restart, context);
  EXPECT_EQ(steps(), (std::vector<std::string>{
                         "start in session 2",
                         "log install_update: app restarted in session 2",
                         "close handle 50",
                         // Not installed, only kept as the trace of the job
                         // until the app is back.
                         "drop package and log",
                         "report stop accepted",
                     }));
  EXPECT_EQ(processes.snapshots, 0);
  EXPECT_TRUE(processes.find(60)->running);
  EXPECT_TRUE(installer.installs.empty());
  EXPECT_TRUE(programs.detached.empty());
  EXPECT_FALSE(control.update_in_progress);
}

TEST_F(RunInstaller, CopyStartedDuringTheInstallationIsClosedAfterIt) {
  sessions.signed_in = {1, 2, 3, 4};
  installer.while_installing = [this] {
    clock.filetime = 2000;
    processes.add(app_process(70, 3u, 1500u));
    // Created exactly at the second cutoff: not this update's to close.
    processes.add(app_process(71, 4u, 2000u));
  };
  run_installer(*job(), context);
  const std::vector<std::string> s = steps();
  const auto at = [&](const std::string& e) {
    return std::find(s.begin(), s.end(), e) - s.begin();
  };
  EXPECT_LT(at("run installer"), at("terminate 70 with 1"));
  EXPECT_TRUE(processes.find(71)->running);
  EXPECT_EQ(started_sessions(), (std::vector<std::uint32_t>{2, 3}));
}

// What is started again is the product's own app in the install location as
// the installer left it, never the caller's image; and only as the users
// whose copies ran in each session.
TEST_F(RunInstaller, RestartsTheInstalledAppAsTheRecordedUsersOnly) {
  struct Case {
    const char* name;
    bool with_package;
    std::optional<std::string> location_after;  // nothing: none after the installer
    std::vector<std::string> lines;
  };
  const std::string moved = R"(C:\Program Files\Lumar KQ 2\)";
  const std::vector<Case> cases = {
      {"installed",
       true,
       moved,
       {"log install_update: closed a copy of the app in session 1",
        "log install_update: restart the app: another user is signed in to session 1; not started",
        "log install_update: app restarted in session 2"}},
      {"no install location",
       true,
       std::nullopt,
       {"log install_update: closed a copy of the app in session 1",
        "log install_update: restart the app: no install location for UpgradeCode " + test::kLite}},
      {"restart only", false, moved, {"log install_update: app restarted in session 2"}},
  };
  std::uint32_t other_copy = 60;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    events.clear();
    sessions.starts.clear();
    sessions.users.clear();
    processes.add(app_process(other_copy++, 1u, 20u));
    std::unique_ptr<InstallJob> j = job();
    j->restart_only = !c.with_package;
    // Closed are the caller's copies (acceptance made sure that it is the
    // installed app); started is the installed app alone.
    if (!c.with_package) j->caller.image_path = R"(C:\Users\Public\lumar-desktop.exe)";
    // While the installer runs, it moves the product and another user signs
    // in to session 1, whose copy was closed.
    const auto meanwhile = [this, &c] {
      sessions.users[1] = "S-1-5-21-mallory";
      if (c.location_after) {
        installer.products[test::kLite][0]["InstallLocation"] = *c.location_after;
      } else {
        installer.products[test::kLite][0].erase("InstallLocation");
      }
    };
    installer.while_installing = meanwhile;
    if (!c.with_package) meanwhile();
    run_installer(*j, context);
    std::vector<std::string> logged;
    for (const std::string& e : events) {
      if (e.starts_with("log ") && e.find("msiexec exit") == std::string::npos) logged.push_back(e);
    }
    EXPECT_EQ(logged, c.lines);
    for (const test::Start& start : sessions.starts) {
      EXPECT_EQ(start.launch.application, moved + "lumar-desktop.exe");
    }
  }
}

TEST_F(RunInstaller, HandOverFailureIsLoggedAndAMissingOwnPathIsSilent) {
  programs.detached_result = fail("Access is denied. (os error 5)");
  run_installer(*job(), context);
  EXPECT_EQ(recording.lines().back(),
            R"(install_update: hand over to C:\Program Files\Lumar KQ\lumar-helper.exe: )"
            "Access is denied. (os error 5)");

  recording.file.messages.clear();
  programs.detached.clear();
  files.own_path = fail("The specified module could not be found. (os error 126)");
  run_installer(*job(), context);
  EXPECT_TRUE(programs.detached.empty());
  EXPECT_EQ(recording.lines().back(), "install_update: app restarted in session 2");
}

TEST_F(RunInstaller, WorkerThatCannotStartGivesTheJobBackUntouched) {
  test::FakeThreadStarter threads;
  threads.refuse_at = 0;
  ThreadedInstallWorker worker(context, threads);
  std::unique_ptr<InstallJob> j = job();
  const InstallJob* given = j.get();

  const Status started = worker.start(j);
  ASSERT_FALSE(started.has_value());
  EXPECT_EQ(started.error(), "start the installer thread: Resource temporarily unavailable");
  ASSERT_EQ(j.get(), given);
  EXPECT_TRUE(j->package);
  EXPECT_TRUE(j->caller.process);
  EXPECT_TRUE(j->lease);
  EXPECT_EQ(j->caller.image_path, kAppPath);
  EXPECT_EQ(j->version, "1.1.0");
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(control.update_in_progress);  // clearing it is the refusal's job
}

TEST_F(RunInstaller, AnExceptionInTheWorkerIsLoggedAndGivesTheServiceBack) {
  test::FakeThreadStarter threads;
  threads.run_at_once = true;
  ThreadedInstallWorker worker(context, threads);
  installer.while_installing = [] { throw std::bad_alloc(); };
  std::unique_ptr<InstallJob> j = job();
  ASSERT_TRUE(worker.start(j).has_value());  // the fake starter runs the body at once
  EXPECT_EQ(recording.lines().back(), "install_update: internal error: std::bad_alloc");
  EXPECT_FALSE(control.update_in_progress);
  EXPECT_EQ(events.back(), "report stop accepted");
}

TEST_F(RunInstaller, RealThreadRunsTheJobToItsEnd) {
  test::JoiningThreadStarter threads;
  ThreadedInstallWorker worker(context, threads);
  std::unique_ptr<InstallJob> j = job();
  ASSERT_TRUE(worker.start(j).has_value());
  EXPECT_EQ(j, nullptr);  // moved out before the thread began
  threads.join();
  EXPECT_FALSE(control.update_in_progress);
  EXPECT_EQ(installer.installs.size(), 1u);
  EXPECT_EQ(programs.detached.size(), 1u);
}

}  // namespace
}  // namespace lumar
