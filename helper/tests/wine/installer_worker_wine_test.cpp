// The installer worker with real msiexec, real test packages and real copies
// of the stand-in app, installed into Program Files of the Wine prefix.
// Under Wine every process is in session 1 and waiting 60 s for an app
// that does not quit costs a minute, so several sessions and the
// termination after 60 s are shown by the unit tests' fakes.
#include <gtest/gtest.h>

#include <cstdint>

#include "fakes/fake_environment.h"
#include "fakes/fake_files.h"
#include "fakes/fake_log.h"
#include "main/base/unique_any_win32.h"
#include "main/platform/clock.h"
#include "main/platform/files.h"
#include "main/platform/process_start.h"
#include "main/platform/processes.h"
#include "main/platform/thread_starter.h"
#include "main/service/helper_log.h"
#include "main/service/service_control_state.h"
#include "support/app_wine_support.h"
#include "support/package_support.h"
#include "update/app/app_processes.h"
#include "update/app/app_sessions.h"
#include "update/install/installer_worker.h"
#include "update/staged_name.h"

namespace lumar::test {
namespace {

// A staged package as acceptance leaves it: a private copy held open for
// reading with read sharing only, and the log's name taken beside it, both
// deleted when dropped unless the log is to be kept.
class TestStagedPackage final : public StagedPackage {
 public:
  TestStagedPackage(const std::wstring& source, const std::wstring& folder) {
    static std::uint64_t counter = 0;
    wide_path_ = folder + L"\\" + wide(staged_package_name(::GetCurrentProcessId(), ++counter));
    path_ = narrow_lossy(wide_path_);
    log_path_ = installer_log_path(path_);
    ::CopyFileW(source.c_str(), wide_path_.c_str(), TRUE);
    const UniqueFile log(::CreateFileW(wide(log_path_).c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    handle_.reset(::CreateFileW(wide_path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  }
  ~TestStagedPackage() override {
    handle_.reset();
    ::DeleteFileW(wide_path_.c_str());
    if (!keep_log_) ::DeleteFileW(wide(log_path_).c_str());
  }
  const OsString& path() const override { return path_; }
  const OsString& log_path() const override { return log_path_; }
  void keep_log() override { keep_log_ = true; }
  const std::wstring& wide_path() const { return wide_path_; }
  bool held() const { return handle_.valid(); }

 private:
  std::wstring wide_path_;
  OsString path_;
  OsString log_path_;
  bool keep_log_ = false;
  UniqueFile handle_;
};

std::string system_root() {
  wchar_t root[MAX_PATH] = {};
  ::GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
  return narrow_lossy(root);
}

class InstallerWorkerWine : public testing::Test {
 protected:
  void SetUp() override {
    uninstall_test_products();
    ::DeleteFileW(app_starts_file().c_str());
    ASSERT_EQ(install_package(L"lite-1.0.0.msi"), 0u);
    ASSERT_EQ(installed_version(kLiteCode), "1.0.0");
    environment.values["SystemRoot"] = system_root();
  }
  void TearDown() override { kill_copies(installed_app()); }

  // The caller: the installed app, which has asked and quits at once. The
  // job holds the update's lease, as acceptance leaves it.
  std::unique_ptr<InstallJob> job(const std::wstring& package_name, std::string version) {
    caller_.emplace(quote(installed_app()) + L" quit", std::map<std::wstring, std::wstring>{},
                    false);
    auto made = std::make_unique<InstallJob>();
    made->lease = UpdateLease::acquire(control);
    if (!package_name.empty()) {
      auto package = std::make_unique<TestStagedPackage>(package_path(package_name), staging);
      staged = package.get();
      staged_path = package->wide_path();
      made->package = std::move(package);
    }
    made->version = std::move(version);
    made->upgrade_code = kLiteCode;  // the app is started from its install location
    made->caller.image_path = narrow_lossy(installed_app());
    made->caller.process = *processes->open(caller_->pid(), ProcessAccess::kControl);
    made->caller.session_id = 1;
    return made;
  }

  std::vector<DWORD> running_copies() {
    std::vector<DWORD> pids;
    for (const AppInstance& copy : find_app_instances(*processes, narrow_lossy(installed_app()))) {
      pids.push_back(::GetProcessId(native<UniqueProcess>(copy.process)));
    }
    return pids;
  }

  std::wstring staging = make_temp_folder(L"staging");
  const TestStagedPackage* staged = nullptr;
  std::wstring staged_path;
  AppCopy probe{L"handover"};
  std::unique_ptr<Processes> processes = make_win32_processes();
  std::unique_ptr<SessionSystem> sessions = make_win32_session_system();
  FakeEnvironment environment;
  std::unique_ptr<WindowsInstaller> installer = make_win32_windows_installer(environment);
  std::unique_ptr<ProgramStarter> programs = make_win32_program_starter();
  // The helper's "own executable" is a copy of the stand-in app, which
  // records the hand-over's command line: the test program itself must not
  // be started with "install".
  FakeFiles probed_files{nullptr, probe.exe_text()};
  std::unique_ptr<Files> files = make_win32_files();
  std::unique_ptr<Clock> clock = make_win32_clock();
  FakeLogFile log_file;
  HelperLog log{environment, *clock, log_file};
  ServiceControlState control;  // no status handle: a foreground helper
  InstallerContext context{*processes, *sessions, *installer, *programs, probed_files, log, *clock};

 private:
  std::optional<Child> caller_;
};

TEST_F(InstallerWorkerWine, InstallsTheUpdateRestartsTheAppAndHandsOver) {
  Child other(quote(installed_app()), {}, false);  // another copy, closed around the update
  // Each copy appends a line to the starts file. Appends from two processes
  // at once are not atomic under Wine, so the caller starts only once this
  // copy's line is there.
  ASSERT_EQ(wait_for_app_starts(kLiteFolder, 1).size(), 1u);
  std::unique_ptr<InstallJob> update = job(L"lite-1.1.0.msi", "1.1.0");
  ASSERT_TRUE(staged->held());
  const std::wstring log_path = wide(installer_log_path(staged->path()));

  run_installer(*update, context);

  EXPECT_EQ(log_file.messages,
            (std::vector<std::string>{"install_update: closed a copy of the app in session 1",
                                      "install_update: 1.1.0: msiexec exit 0",
                                      "install_update: app restarted in session 1"}));
  EXPECT_EQ(installed_version(kLiteCode), "1.1.0");
  EXPECT_FALSE(file_exists(staged_path));
  EXPECT_FALSE(file_exists(log_path));
  EXPECT_FALSE(control.update_in_progress);
  EXPECT_FALSE(other.running());

  // The hand-over started the "own executable" with "install" alone.
  const std::vector<AppStart> handed_over = probe.wait_for_starts(1);
  ASSERT_EQ(handed_over.size(), 1u);
  EXPECT_EQ(handed_over[0].command_line, "\"" + probe.exe_text() + "\" install");

  // One copy runs again, started afresh with the quoted path from its folder.
  const std::vector<DWORD> copies = running_copies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_NE(copies[0], other.pid());
  const std::vector<AppStart> starts = wait_for_app_starts(kLiteFolder, 3);  // caller, other, new
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[2].pid, std::to_string(copies[0]));
  EXPECT_EQ(starts[2].command_line, "\"" + narrow_lossy(installed_app()) + "\"");
  EXPECT_EQ(starts[2].current_folder, narrow_lossy(kLiteFolder));
}

TEST_F(InstallerWorkerWine, FailedInstallationKeepsItsLogAndStillRestartsTheApp) {
  std::unique_ptr<InstallJob> update = job(L"lite-1.2.0-fails.msi", "1.2.0");
  const std::wstring log_path = wide(installer_log_path(staged->path()));

  run_installer(*update, context);

  EXPECT_EQ(log_file.messages, (std::vector<std::string>{
                                   "install_update: msiexec log kept at " + narrow_lossy(log_path),
                                   "install_update: 1.2.0: msiexec exit 1603",
                                   "install_update: app restarted in session 1"}));
  EXPECT_TRUE(file_exists(log_path));
  EXPECT_FALSE(file_exists(staged_path));
  EXPECT_EQ(installed_version(kLiteCode), "1.0.0");
  EXPECT_EQ(running_copies().size(), 1u);
  EXPECT_TRUE(probe.starts().empty()) << "no hand-over after a failure";
  ::DeleteFileW(log_path.c_str());
}

TEST_F(InstallerWorkerWine, InstallerThatCannotStartIsLoggedWithTheSystemsReason) {
  environment.values["SystemRoot"] = "C:\\no-such-windows";
  std::unique_ptr<InstallJob> update = job(L"lite-1.1.0.msi", "1.1.0");

  run_installer(*update, context);

  ASSERT_FALSE(log_file.messages.empty());
  // The folder is missing, so the system says "path not found" (3).
  EXPECT_EQ(log_file.messages[0], "install_update: 1.1.0: start msiexec: " + os_error_text(3));
  EXPECT_FALSE(file_exists(staged_path));
  EXPECT_EQ(installed_version(kLiteCode), "1.0.0");
  EXPECT_EQ(log_file.messages.back(), "install_update: app restarted in session 1");
  EXPECT_EQ(running_copies().size(), 1u);
  EXPECT_FALSE(control.update_in_progress);
  EXPECT_TRUE(probe.starts().empty()) << "no hand-over";
}

TEST_F(InstallerWorkerWine, ThreadedWorkerRestartsTheCallerOnItsOwnThread) {
  // A restart-only job: the worker as the entry point builds it hands over
  // to its own executable (this test program) only after an installation.
  StdThreadStarter threads;
  ThreadedInstallWorker worker(
      InstallerContext{*processes, *sessions, *installer, *programs, *files, log, *clock}, threads);
  std::unique_ptr<InstallJob> restart = job(L"", "1.0.0");
  ASSERT_TRUE(worker.start(restart).has_value());
  EXPECT_EQ(restart, nullptr);  // moved into the thread

  ASSERT_TRUE(wait_until(std::chrono::seconds(60), [&] { return !control.update_in_progress; }));
  EXPECT_EQ(log_file.messages,
            std::vector<std::string>{"install_update: app restarted in session 1"});
  EXPECT_EQ(running_copies().size(), 1u);
  EXPECT_EQ(installed_version(kLiteCode), "1.0.0");
}

}  // namespace
}  // namespace lumar::test
