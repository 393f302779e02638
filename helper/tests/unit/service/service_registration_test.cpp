// "install" and "uninstall" against a pretend service manager. The real one
// is exercised under Wine (service_wine_test.cpp); this covers what Wine will
// not produce on demand: a failure of each service-manager call behind each
// message, and a service that does not stop within 15 seconds.
#include "main/service/service_registration.h"

#include <gtest/gtest.h>

#include "fakes/fake_files.h"
#include "fakes/fake_leftover_folders.h"
#include "fakes/fake_log.h"
#include "fakes/fake_service_manager.h"
#include "update/recovery/leftover_packages.h"
#include "update/staged_name.h"

namespace lumar {
namespace {

const OsString kHere = R"(C:\Program Files\Lumar KQ\lumar-helper.exe)";
const OsString kElsewhere = R"(D:\Other\lumar-helper.exe)";
const OsString kStaging = R"(C:\Temp\)";
const std::string kStagedName = staged_package_name(4242, 1);

using test::FakeServiceManager;
using test::kServiceRunning;
using test::kServiceStopped;

class RegistrationTest : public ::testing::Test {
 protected:
  RegistrationTest() {
    folders.staging = kStaging;
    folders.folders[kStaging] = {};
  }

  void TearDown() override {
    EXPECT_EQ(scm.open_handles, 0) << "every handle is closed on every path";
  }

  Status install() { return install_service(context()); }
  Status uninstall() { return uninstall_service(context()); }
  std::vector<std::string> log_lines() const { return log.lines(); }
  // A package staged `age_seconds` ago.
  void stage_package(std::uint64_t age_seconds) {
    folders.folders[kStaging].push_back(
        {kStagedName, log.clock.filetime - age_seconds * 10'000'000});
  }

  FakeServiceManager scm;
  test::FakeFiles files{nullptr, kHere};
  test::FakeLeftoverFolders folders;
  test::RecordingLog log;

 private:
  RegistrationContext context() {
    return {scm, files, [this] { return update_in_flight(folders, log.environment, log.clock); },
            log.clock, log.log};
  }
};

TEST(RegisteredHelperPath, TakesTheExecutableOutOfTheCommandLine) {
  EXPECT_EQ(registered_helper_path(R"("C:\Program Files\L\lumar-helper.exe" run)"),
            R"(C:\Program Files\L\lumar-helper.exe)");
  EXPECT_EQ(registered_helper_path(R"(C:\L\lumar-helper.exe run)"), R"(C:\L\lumar-helper.exe)");
  EXPECT_EQ(registered_helper_path("  \"\"C:\\L\\HELPER.EXE\" run  "), R"(C:\L\HELPER.EXE)");
  // The first ".exe" ends the path, even inside a folder name.
  EXPECT_EQ(registered_helper_path(R"(C:\a.exe.d\lumar-helper.exe run)"), R"(C:\a.exe)");
  EXPECT_EQ(registered_helper_path("C:\\L\\helper run"), "C:\\L\\helper run");
  EXPECT_EQ(registered_helper_path(""), "");
}

TEST(SameHelper, FoldsAsciiLettersAndNothingElse) {
  EXPECT_TRUE(same_helper(R"(c:\program files\l\LUMAR-HELPER.EXE)",
                          R"(C:\Program Files\L\lumar-helper.exe)"));
  EXPECT_FALSE(
      same_helper(R"(C:\PROGRA~1\L\lumar-helper.exe)", R"(C:\Program Files\L\lumar-helper.exe)"));
  EXPECT_FALSE(same_helper("C:/L/lumar-helper.exe", R"(C:\L\lumar-helper.exe)"));
  EXPECT_FALSE(same_helper("C:\\\xC3\x89\\h.exe", "C:\\\xC3\xA9\\h.exe"));  // É is not folded
}

TEST(ServiceLayerTexts, NamesTheTextWithANulAndTheUnknownValue) {
  EXPECT_TRUE(check_no_nul("C:\\a.exe run", "executable path").has_value());
  EXPECT_EQ(check_no_nul(std::string("C:\\a\0.exe", 9), "executable path").error(),
            "executable path contains a nul byte");
  EXPECT_TRUE(validate_service_config({"x", 4, 3}).has_value());
  EXPECT_EQ(validate_service_config({"x", 5, 1}).error(), "invalid service start type value");
  EXPECT_EQ(validate_service_config({"x", 2, 4}).error(), "invalid service error control value");
}

TEST_F(RegistrationTest, EachCallAsksForItsOwnAccessAndEveryHandleIsClosed) {
  ASSERT_TRUE(install().has_value());  // created
  ASSERT_TRUE(install().has_value());  // restarted
  ASSERT_TRUE(uninstall().has_value());
  EXPECT_EQ(scm.calls, (std::vector<std::string>{"connect install",
                                                 "open LumarHelper install",
                                                 "create create",
                                                 "set_description",
                                                 "set_failure_actions",
                                                 "start",
                                                 "connect install",
                                                 "open LumarHelper install",
                                                 "query_config",
                                                 "set_failure_actions",
                                                 "query_state",
                                                 "stop",
                                                 "query_state",
                                                 "query_state",
                                                 "query_state",
                                                 "start",
                                                 "connect uninstall",
                                                 "open LumarHelper uninstall",
                                                 "query_config",
                                                 "query_state",
                                                 "stop",
                                                 "delete"}));
  // 250 ms between two looks at a stopping service; half a second, once,
  // before deleting one.
  using std::chrono::milliseconds;
  EXPECT_EQ(log.clock.sleeps,
            (std::vector<milliseconds>{milliseconds(250), milliseconds(250), milliseconds(500)}));
}

// What each failed service-manager call makes of the message; Wine fails
// these calls only in the ways a working machine does.
TEST_F(RegistrationTest, EveryFailedCallNamesItsStep) {
  const struct {
    bool registered;  // a service of this helper exists, running
    bool install;
    std::string failing;
    std::string message;
  } cases[] = {
      {false, true, "connect install", "open SCM: IO error in winapi call"},
      {false, true, "create create", "create service: IO error in winapi call"},
      {false, true, "start", "start service: IO error in winapi call"},
      {true, true, "query_config", "read service config: IO error in winapi call"},
      {true, true, "start", "start service: IO error in winapi call"},
      {false, false, "connect uninstall", "IO error in winapi call"},
      {false, false, "open LumarHelper uninstall", "open service: IO error in winapi call"},
      {true, false, "delete", "delete service: IO error in winapi call"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    scm.service.reset();
    if (c.registered) scm.register_at(kHere);
    scm.failing = {c.failing};
    EXPECT_EQ((c.install ? install() : uninstall()).error(), c.message);
  }
  EXPECT_TRUE(log_lines().empty());
  EXPECT_TRUE(scm.service) << "a service that cannot be started stays registered";

  scm.failing = {};
  scm.register_at(kElsewhere);
  scm.failing = {"change_config"};
  EXPECT_EQ(install().error(), "change service config: IO error in winapi call");

  // The running path's failure is the system's text alone, in both modes.
  files.own_path = fail("The specified module could not be found. (os error 126)");
  EXPECT_EQ(install().error(), "The specified module could not be found. (os error 126)");
  EXPECT_EQ(uninstall().error(), "The specified module could not be found. (os error 126)");
}

TEST_F(RegistrationTest, IgnoredFailuresDoNotStopTheProcedures) {
  // No description, no failure actions; no stop and no status while restarting.
  scm.failing = {"set_description", "set_failure_actions"};
  EXPECT_TRUE(install().has_value());
  scm.service->state = kServiceStopped;
  scm.failing = {"query_state", "stop"};
  ASSERT_TRUE(install().has_value());
  EXPECT_EQ(scm.count("query_state"), 1 + 60) << "a failed look counts as not stopped";
  // Neither configuration nor status can be read: uninstall deletes all the same.
  scm.failing = {"query_config", "query_state"};
  EXPECT_TRUE(uninstall().has_value());
  EXPECT_EQ(scm.count("delete"), 1);
  // An open that fails for any reason leads to creating the service.
  scm.failing = {"open LumarHelper install"};
  EXPECT_TRUE(install().has_value());
  EXPECT_EQ(log_lines().back(), "install: service created + started");
}

// The service manager restarts a helper whose process died, on this copy's
// registration only. Under Wine they are stored and read back
// (service_crash_wine_test.cpp) but never acted on.
TEST_F(RegistrationTest, FailureActionsGoWithEveryRegistrationOfThisCopy) {
  using std::chrono::milliseconds;
  const struct {
    const char* what;
    std::optional<OsString> registered;
    bool registered_exists;
    bool set;
  } cases[] = {
      {"created", std::nullopt, false, true},
      {"found", kHere, true, true},
      {"moved", kElsewhere, false, true},
      {"another copy's, kept", kElsewhere, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scm.service.reset();
    if (c.registered) scm.register_at(*c.registered);
    if (c.registered_exists) files.existing.insert(*c.registered);
    ASSERT_TRUE(install().has_value());
    ASSERT_EQ(scm.service->failure_actions.has_value(), c.set);
    if (!c.set) continue;
    EXPECT_EQ(
        scm.service->failure_actions->restart_delays,
        (std::vector<milliseconds>{milliseconds(5000), milliseconds(30000), milliseconds(60000)}));
    EXPECT_EQ(scm.service->failure_actions->reset_period, std::chrono::seconds(86400));
  }
}

TEST_F(RegistrationTest, UnknownStoredValuesMakeTheConfigurationUnreadable) {
  scm.register_at(kHere);
  scm.stored_config = ServiceConfig{"\"" + kHere + "\" run", 7, 1};
  EXPECT_EQ(install().error(), "read service config: invalid service start type value");
  scm.stored_config = ServiceConfig{"\"" + kHere + "\" run", 2, 9};
  EXPECT_EQ(install().error(), "read service config: invalid service error control value");
  // Uninstall skips the comparison and deletes.
  scm.stored_config = ServiceConfig{"\"" + kElsewhere + "\" run", 2, 9};
  EXPECT_TRUE(uninstall().has_value());
  EXPECT_EQ(scm.count("delete"), 1);
}

TEST_F(RegistrationTest, AServiceThatDoesNotStopWithinFifteenSecondsFailsTheStart) {
  scm.register_at(kHere);
  scm.never_stops = true;
  EXPECT_EQ(install().error(), "start service: IO error in winapi call");
  EXPECT_EQ(scm.count("query_state"), 1 + 60);
  EXPECT_EQ(log.clock.sleeps,
            std::vector<std::chrono::milliseconds>(60, std::chrono::milliseconds(250)));
  EXPECT_TRUE(log_lines().empty());
}

TEST_F(RegistrationTest, AStagedPackageCountsAsInFlightBelowHalfAnHour) {
  scm.register_at(kHere, kServiceStopped);
  stage_package(1799);
  ASSERT_TRUE(install().has_value());
  EXPECT_EQ(scm.count("stop"), 0);
  EXPECT_EQ(scm.service->state, kServiceRunning) << "a stopped service is started";
  EXPECT_EQ(log_lines().back(),
            "install: an update is installing; the running helper hands over when it is done");

  folders.folders[kStaging].clear();
  stage_package(1800);
  ASSERT_TRUE(install().has_value());
  EXPECT_EQ(scm.count("stop"), 1);
  EXPECT_EQ(log_lines().back(), "install: service restarted on this install's helper");
}

// Any user may plant such a name in "{SystemRoot}\Temp". Wine runs every
// program as its one user, so only a fake can show an owner that differs.
TEST_F(RegistrationTest, AYoungPackageThatSomeoneElseOwnsIsNoUpdateInFlight) {
  scm.register_at(kHere);
  stage_package(10);
  folders.foreign.insert(kStaging + kStagedName);
  ASSERT_TRUE(install().has_value());
  EXPECT_EQ(scm.count("stop"), 1);
  EXPECT_EQ(log_lines().back(), "install: service restarted on this install's helper");
}

}  // namespace
}  // namespace lumar
