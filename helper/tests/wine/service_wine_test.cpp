// "install", "uninstall" and the service run of the real lumar-helper.exe
// against Wine's service manager. Each test starts without a LumarHelper
// service and leaves none behind, so that the other suites find the pipe
// free. Wine never passes a control handler's result code back to
// ControlService; the handler's codes are checked with fakes
// (service_runtime_test.cpp), and a stop refused during an update is seen
// through the status report (service_update_wine_test.cpp).
#include <gtest/gtest.h>

#include "main/base/text_win32.h"
#include "support/service_wine_support.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

class ServiceRegistration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(remove_helper_service()) << "a LumarHelper service from earlier is still there";
    folder_ = make_temp_folder(L"svc");
    service_log_.emplace();
  }
  void TearDown() override { EXPECT_TRUE(remove_helper_service()); }

  // A copy of the helper in a folder of its own, "{tag} Lumar KQ".
  std::wstring copy(const std::wstring& tag) {
    return copy_helper(folder_ + L"\\" + tag + L" Lumar KQ");
  }

  RunResult helper(const std::wstring& exe, const std::wstring& mode) {
    return run_logged(exe, mode, folder_);
  }
  std::string command_log() const { return read_file(folder_ + L"\\Lumar\\helper.log"); }

  std::wstring folder_;
  std::optional<LogTail> service_log_;
};

TEST_F(ServiceRegistration, FirstInstallCreatesDescribesAndStartsTheService) {
  const std::wstring exe = copy(L"first");  // the folder name holds a space
  const RunResult result = helper(exe, L"install");
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(log_messages(command_log()),
            (std::vector<std::string>{"install: service created + started"}));

  const std::optional<ServiceSettings> settings = query_helper_service();
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->binary_path, L"\"" + exe + L"\" run");
  EXPECT_EQ(settings->service_type, 0x10u);
  EXPECT_EQ(settings->start_type, 2u);
  EXPECT_EQ(settings->error_control, 1u);
  EXPECT_EQ(settings->display_name, L"Lumar KQ Privileged Helper");
  EXPECT_EQ(settings->description, L"Lumar KQ Privileged Helper");

  ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  EXPECT_EQ(query_service_status()->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
  EXPECT_TRUE(service_log_->wait_for("service: running"));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
}

TEST_F(ServiceRegistration, InstallAgainFromTheSameExecutableRestartsTheService) {
  const std::wstring exe = copy(L"same");
  ASSERT_EQ(helper(exe, L"install").exit_code, 0u);
  ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  ASSERT_TRUE(service_log_->wait_for("service: running"));
  const DWORD first_pid = query_service_status()->dwProcessId;

  const RunResult again = helper(exe, L"install");
  EXPECT_EQ(again.exit_code, 0u) << again.err;
  EXPECT_EQ(log_messages(command_log()).back(),
            "install: service restarted on this install's helper");
  ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  EXPECT_NE(query_service_status()->dwProcessId, first_pid);
  EXPECT_TRUE(service_log_->wait_for("service: stopped"));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
}

TEST_F(ServiceRegistration, AStopEndsTheServiceProcessWithCodeZeroEvenWithAClientConnected) {
  ASSERT_EQ(helper(copy(L"stop"), L"install").exit_code, 0u);
  ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  ASSERT_TRUE(service_log_->wait_for("service: running"));
  const UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                           query_service_status()->dwProcessId));
  ASSERT_TRUE(process);
  const UniqueFile client = connect_pipe();  // connected, sends nothing
  ASSERT_TRUE(client);

  EXPECT_EQ(send_stop_control(), 0u);
  ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  DWORD exit_code = 0;
  ASSERT_TRUE(::GetExitCodeProcess(process.get(), &exit_code));
  EXPECT_EQ(exit_code, 0u);
  EXPECT_EQ(service_log_->messages(),
            (std::vector<std::string>{"service: running", "service: stopped"}));
}

TEST_F(ServiceRegistration, InstallFromASecondCopyKeepsTheFirst) {
  const std::wstring first = copy(L"first");
  const std::wstring second = copy(L"second");
  ASSERT_EQ(helper(first, L"install").exit_code, 0u);
  ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  const DWORD pid = query_service_status()->dwProcessId;

  const RunResult result = helper(second, L"install");
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(query_helper_service()->binary_path, L"\"" + first + L"\" run");
  EXPECT_EQ(log_messages(command_log()).back(),
            "install: kept the helper at " + narrow_lossy(first));
  EXPECT_EQ(query_service_status()->dwProcessId, pid) << "kept running, not restarted";
}

TEST_F(ServiceRegistration, InstallAfterTheRegisteredCopyWasDeletedMovesTheRegistration) {
  const std::wstring old_copy = copy(L"old");
  const std::wstring new_copy = copy(L"new");
  ASSERT_EQ(helper(old_copy, L"install").exit_code, 0u);
  ASSERT_TRUE(stop_helper_service());
  ASSERT_TRUE(::DeleteFileW(old_copy.c_str()));

  const RunResult result = helper(new_copy, L"install");
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(query_helper_service()->binary_path, L"\"" + new_copy + L"\" run");
  EXPECT_EQ(log_messages(command_log()),
            (std::vector<std::string>{"install: service created + started",
                                      "install: service moved from " + narrow_lossy(old_copy) +
                                          " to " + narrow_lossy(new_copy),
                                      "install: service restarted on this install's helper"}));
  EXPECT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
}

TEST_F(ServiceRegistration, ARegisteredCommandLineInOtherLetterCaseIsTheSameHelper) {
  const std::wstring exe = copy(L"case");
  ASSERT_EQ(helper(exe, L"install").exit_code, 0u);
  std::wstring lowered = exe;
  for (wchar_t& c : lowered) c = static_cast<wchar_t>(towlower(c));
  ASSERT_NE(lowered, exe);
  ASSERT_TRUE(set_helper_binary_path(L"\"" + lowered + L"\" run"));

  const RunResult result = helper(exe, L"install");
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(log_messages(command_log()).back(),
            "install: service restarted on this install's helper");
  EXPECT_EQ(query_helper_service()->binary_path, L"\"" + lowered + L"\" run") << "not re-pointed";
}

TEST_F(ServiceRegistration, InstallWithAYoungStagedPackageOnlyStartsTheService) {
  const std::wstring exe = copy(L"busy");
  ASSERT_EQ(helper(exe, L"install").exit_code, 0u);
  ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  const DWORD pid = query_service_status()->dwProcessId;
  // A package of a helper that is not running, as if it were being installed.
  const PlantedStagedFile staged(L"C:\\windows\\Temp", staged_name(kDeadPid));

  const RunResult result = helper(exe, L"install");
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(log_messages(command_log()).back(),
            "install: an update is installing; the running helper hands over when it is done");
  EXPECT_EQ(query_service_status()->dwProcessId, pid) << "never stopped";
  EXPECT_TRUE(file_exists(staged.path()));
}

TEST_F(ServiceRegistration, UninstallFromAnotherCopyLeavesTheService) {
  const std::wstring first = copy(L"first");
  const std::wstring other = copy(L"other");
  ASSERT_EQ(helper(first, L"install").exit_code, 0u);

  const RunResult result = helper(other, L"uninstall");
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(log_messages(command_log()).back(),
            "uninstall: left the helper at " + narrow_lossy(first));
  EXPECT_TRUE(query_helper_service());
  EXPECT_TRUE(wait_for_service_state(SERVICE_RUNNING));
}

TEST_F(ServiceRegistration, UninstallOfAMissingServiceFails) {
  const RunResult result = helper(copy(L"none"), L"uninstall");
  EXPECT_EQ(result.exit_code, 1u);
  EXPECT_EQ(result.err, "lumar-helper: open service: IO error in winapi call\n");
  EXPECT_EQ(log_messages(command_log()),
            (std::vector<std::string>{"error: open service: IO error in winapi call"}));
}

TEST_F(ServiceRegistration, UninstallOfARunningServiceStopsAndDeletesIt) {
  const std::wstring exe = copy(L"running");
  ASSERT_EQ(helper(exe, L"install").exit_code, 0u);
  ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  ASSERT_TRUE(service_log_->wait_for("service: running"));

  const RunResult result = helper(exe, L"uninstall");
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(log_messages(command_log()).back(), "uninstall: service deleted");
  EXPECT_TRUE(wait_until_helper_service_gone());
  EXPECT_TRUE(service_log_->wait_for("service: stopped"));
}

}  // namespace
}  // namespace lumar::test
