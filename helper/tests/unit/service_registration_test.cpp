// "install" and "uninstall" against a pretend service manager. The real one
// is exercised under Wine (service_wine_test.cpp); this covers what Wine will
// not produce on demand: a failure of each service-manager call behind each
// message, and a service that does not stop within 15 seconds.
#include "main/service_registration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "fakes/fake_leftover_folders.h"
#include "fakes/fake_log.h"
#include "update/leftover_packages.h"

namespace lumar {
namespace {

constexpr std::uint32_t kRunning = 4;
constexpr std::uint32_t kStopPending = 3;
constexpr std::uint32_t kServiceStopped = 1;

std::string name(ManagerAccess access) {
  return access == ManagerAccess::kInstall ? "install" : "uninstall";
}
std::string name(ServiceAccess access) {
  switch (access) {
    case ServiceAccess::kCreate:
      return "create";
    case ServiceAccess::kInstall:
      return "install";
    case ServiceAccess::kUninstall:
      return "uninstall";
  }
  return "?";
}
const std::string kFailed = "IO error in winapi call";
const OsString kHere = R"(C:\Program Files\Lumar KQ\lumar-helper.exe)";
const OsString kElsewhere = R"(D:\Other\lumar-helper.exe)";
const OsString kStaging = R"(C:\Temp\)";

// One service database with at most the LumarHelper service in it. Every
// call is recorded; any call can be made to fail; every handle handed out is
// counted until it is closed.
class FakeServiceManager final : public ServiceManager {
 public:
  struct Service {
    ServiceDefinition definition;
    std::optional<std::string> description;
    std::uint32_t state = kServiceStopped;
    int pending_polls = 0;  // "stop pending" answers left after a stop
  };

  std::optional<Service> service;
  std::set<std::string> failing;  // names of calls that fail
  int polls_until_stopped = 2;
  bool never_stops = false;
  std::optional<ServiceConfig> stored_config;  // overrides what the service reports
  std::vector<std::string> calls;
  int open_handles = 0;

  void register_at(const OsString& path, std::uint32_t state = kRunning) {
    service = Service{helper_service_definition(path), {}, state};
  }
  int count(const std::string& call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }

  Status call(const std::string& name) {
    calls.push_back(name);
    if (failing.contains(name)) return fail(kFailed);
    return {};
  }

  class Handle {
   public:
    explicit Handle(int& open) : open_(open) { ++open_; }
    ~Handle() { --open_; }

   private:
    int& open_;
  };

  class FakeService final : public ServiceObject {
   public:
    explicit FakeService(FakeServiceManager& scm) : scm_(scm), handle_(scm.open_handles) {}

    Result<ServiceConfig> query_config() override {
      if (Status ok = scm_.call("query_config"); !ok) return fail(ok.error());
      if (scm_.stored_config) return *scm_.stored_config;
      const ServiceDefinition& d = scm_.service->definition;
      return ServiceConfig{d.command_line, d.start_type, d.error_control};
    }
    Status change_config(const ServiceDefinition& definition) override {
      if (Status ok = scm_.call("change_config"); !ok) return ok;
      scm_.service->definition = definition;
      return {};
    }
    Status set_description(std::string_view description) override {
      if (Status ok = scm_.call("set_description"); !ok) return ok;
      scm_.service->description = std::string(description);
      return {};
    }
    Result<ServiceState> query_state() override {
      if (Status ok = scm_.call("query_state"); !ok) return fail(ok.error());
      Service& s = *scm_.service;
      if (s.state == kStopPending && !scm_.never_stops && s.pending_polls-- <= 0) {
        s.state = kServiceStopped;
      }
      return s.state == kServiceStopped ? ServiceState::kStopped : ServiceState::kNotStopped;
    }
    Status stop() override {
      if (Status ok = scm_.call("stop"); !ok) return ok;
      Service& s = *scm_.service;
      if (s.state != kRunning) return fail(kFailed);  // 1062: not running
      s.state = kStopPending;
      s.pending_polls = scm_.polls_until_stopped;
      return {};
    }
    Status start() override {
      if (Status ok = scm_.call("start"); !ok) return ok;
      Service& s = *scm_.service;
      if (s.state != kServiceStopped) return fail(kFailed);  // 1056: already running
      s.state = kRunning;
      return {};
    }
    Status remove() override { return scm_.call("delete"); }

   private:
    FakeServiceManager& scm_;
    Handle handle_;
  };

  class FakeDatabase final : public ServiceDatabase {
   public:
    explicit FakeDatabase(FakeServiceManager& scm) : scm_(scm), handle_(scm.open_handles) {}

    Result<std::unique_ptr<ServiceObject>> open_service(std::string_view name,
                                                        ServiceAccess access) override {
      if (Status ok = scm_.call("open " + std::string(name) + " " + lumar::name(access)); !ok) {
        return fail(ok.error());
      }
      if (!scm_.service) return fail(kFailed);  // 1060: does not exist
      return std::unique_ptr<ServiceObject>(std::make_unique<FakeService>(scm_));
    }
    Result<std::unique_ptr<ServiceObject>> create_service(const ServiceDefinition& definition,
                                                          ServiceAccess access) override {
      if (Status ok = scm_.call("create " + lumar::name(access)); !ok) return fail(ok.error());
      scm_.service = Service{definition, {}, kServiceStopped};
      return std::unique_ptr<ServiceObject>(std::make_unique<FakeService>(scm_));
    }

   private:
    FakeServiceManager& scm_;
    Handle handle_;
  };

  Result<std::unique_ptr<ServiceDatabase>> connect(ManagerAccess access) override {
    if (Status ok = call("connect " + name(access)); !ok) return fail(ok.error());
    return std::unique_ptr<ServiceDatabase>(std::make_unique<FakeDatabase>(*this));
  }
};

class FakeRegistrationHost final : public RegistrationHost {
 public:
  Result<OsString> own_path = kHere;
  std::set<OsString> existing = {kHere};

  Result<OsString> own_executable_path() override { return own_path; }
  bool path_exists(const OsString& path) override { return existing.contains(path); }
};

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
        {"lumar-update-4242-1.msi", log.clock.filetime - age_seconds * 10'000'000});
  }

  FakeServiceManager scm;
  FakeRegistrationHost host;
  test::FakeLeftoverFolders folders;
  test::RecordingLog log;

 private:
  RegistrationContext context() {
    return {scm, host, [this] { return update_in_flight(folders, log.environment, log.clock); },
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
  EXPECT_TRUE(check_no_nul("C:\\a.exe run", "executable path"));
  EXPECT_EQ(check_no_nul(std::string("C:\\a\0.exe", 9), "executable path").error(),
            "executable path contains a nul byte");
  EXPECT_TRUE(validate_service_config({"x", 4, 3}));
  EXPECT_EQ(validate_service_config({"x", 5, 1}).error(), "invalid service start type value");
  EXPECT_EQ(validate_service_config({"x", 2, 4}).error(), "invalid service error control value");
}

TEST_F(RegistrationTest, EachCallAsksForItsOwnAccessAndEveryHandleIsClosed) {
  ASSERT_TRUE(install());  // created
  ASSERT_TRUE(install());  // restarted
  ASSERT_TRUE(uninstall());
  EXPECT_EQ(scm.calls, (std::vector<std::string>{"connect install",
                                                 "open LumarHelper install",
                                                 "create create",
                                                 "set_description",
                                                 "start",
                                                 "connect install",
                                                 "open LumarHelper install",
                                                 "query_config",
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
  host.own_path = fail("The specified module could not be found. (os error 126)");
  EXPECT_EQ(install().error(), "The specified module could not be found. (os error 126)");
  EXPECT_EQ(uninstall().error(), "The specified module could not be found. (os error 126)");
}

TEST_F(RegistrationTest, IgnoredFailuresDoNotStopTheProcedures) {
  // No description; no stop and no status while restarting.
  scm.failing = {"set_description"};
  EXPECT_TRUE(install());
  scm.service->state = kServiceStopped;
  scm.failing = {"query_state", "stop"};
  ASSERT_TRUE(install());
  EXPECT_EQ(scm.count("query_state"), 1 + 60) << "a failed look counts as not stopped";
  // Neither configuration nor status can be read: uninstall deletes all the same.
  scm.failing = {"query_config", "query_state"};
  EXPECT_TRUE(uninstall());
  EXPECT_EQ(scm.count("delete"), 1);
  // An open that fails for any reason leads to creating the service.
  scm.failing = {"open LumarHelper install"};
  EXPECT_TRUE(install());
  EXPECT_EQ(log_lines().back(), "install: service created + started");
}

TEST_F(RegistrationTest, UnknownStoredValuesMakeTheConfigurationUnreadable) {
  scm.register_at(kHere);
  scm.stored_config = ServiceConfig{"\"" + kHere + "\" run", 7, 1};
  EXPECT_EQ(install().error(), "read service config: invalid service start type value");
  scm.stored_config = ServiceConfig{"\"" + kHere + "\" run", 2, 9};
  EXPECT_EQ(install().error(), "read service config: invalid service error control value");
  // Uninstall skips the comparison and deletes.
  scm.stored_config = ServiceConfig{"\"" + kElsewhere + "\" run", 2, 9};
  EXPECT_TRUE(uninstall());
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
  ASSERT_TRUE(install());
  EXPECT_EQ(scm.count("stop"), 0);
  EXPECT_EQ(scm.service->state, kRunning) << "a stopped service is started";
  EXPECT_EQ(log_lines().back(),
            "install: an update is installing; the running helper hands over when it is done");

  folders.folders[kStaging].clear();
  stage_package(1800);
  ASSERT_TRUE(install());
  EXPECT_EQ(scm.count("stop"), 1);
  EXPECT_EQ(log_lines().back(), "install: service restarted on this install's helper");
}

// Any user may plant such a name in "{SystemRoot}\Temp". Wine runs every
// program as its one user, so only a fake can show an owner that differs.
TEST_F(RegistrationTest, AYoungPackageThatSomeoneElseOwnsIsNoUpdateInFlight) {
  scm.register_at(kHere);
  stage_package(10);
  folders.foreign.insert(R"(C:\Temp\lumar-update-4242-1.msi)");
  ASSERT_TRUE(install());
  EXPECT_EQ(scm.count("stop"), 1);
  EXPECT_EQ(log_lines().back(), "install: service restarted on this install's helper");
}

}  // namespace
}  // namespace lumar
