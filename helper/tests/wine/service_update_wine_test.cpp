// A whole update through the real service under Wine: the product as users
// have it, asked for a newer version by its installed app. Wine never passes
// a control handler's result code back to ControlService; a stop refused
// during an update is seen through the status report, which makes
// ControlService fail with 1052.
#include <gtest/gtest.h>

#include "main/base/text_win32.h"
#include "main/platform/process_image_win32.h"
#include "support/app_wine_support.h"
#include "support/package_support.h"
#include "support/service_wine_support.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

const std::wstring kInstalledHelper = std::wstring(kLiteFolder) + L"\\lumar-helper.exe";

DWORD accepted_controls() {
  const std::optional<SERVICE_STATUS_PROCESS> status = query_service_status();
  return status ? status->dwControlsAccepted : 0xFFFFFFFF;
}

// The product as users have it: Lite 1.0.0 installed by msiexec, with the
// helper beside the app, registered by the product's setup step
// "lumar-helper.exe install" and running as the service.
class ServiceUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(remove_helper_service());
    uninstall_test_products();
    ASSERT_EQ(install_package(L"lite-1.0.0.msi"), 0u);
    ASSERT_TRUE(file_exists(kInstalledHelper)) << "the package carries the helper";
    ::DeleteFileW(app_starts_file().c_str());
    folder_ = make_temp_folder(L"svc-update");
    const RunResult setup = run_logged(kInstalledHelper, L"install", folder_);
    ASSERT_EQ(setup.exit_code, 0u) << setup.err;
    ASSERT_TRUE(service_log_.wait_for("service: running"));
    ASSERT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
  }
  void TearDown() override {
    EXPECT_TRUE(remove_helper_service());
    kill_copies(installed_app());
    uninstall_test_products();
  }

  std::wstring folder_;
  LogTail service_log_;
};

TEST_F(ServiceUpdate, WhileAnUpdateRunsTheServiceCannotBeStoppedAndAfterwardsItCan) {
  // The app asks and stays up: the installer worker waits for it to quit,
  // so the update stays in progress until the test ends the app.
  Child app = ask_for_update(L"lite-1.2.0-fails.msi", L"update-stay");
  ASSERT_TRUE(wait_until(90s, [] { return !app_replies().empty(); }));
  ASSERT_EQ(app_replies(), std::vector<std::string>{kOkReply});

  EXPECT_EQ(accepted_controls(), 0u);
  EXPECT_EQ(send_stop_control(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));  // 1052
  EXPECT_EQ(query_service_status()->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply) << "still serving";

  app.terminate();  // the worker goes on as if the app had quit; msiexec fails
  ASSERT_TRUE(service_log_.wait_for("install_update: 1.2.0: msiexec exit 1603", 90s));
  ASSERT_TRUE(wait_until(90s, [] { return accepted_controls() == SERVICE_ACCEPT_STOP; }));
  EXPECT_EQ(send_stop_control(), 0u);
  EXPECT_TRUE(wait_for_service_state(SERVICE_STOPPED));
  EXPECT_TRUE(service_log_.wait_for("service: stopped"));
}

TEST_F(ServiceUpdate, AWholeUpdateEndsWithTheNewlyInstalledHelperServing) {
  const DWORD old_pid = query_service_status()->dwProcessId;
  Child app = ask_for_update(L"lite-1.1.0.msi", L"update");
  const std::optional<RunResult> ended = app.wait(60s);
  ASSERT_TRUE(ended) << "the app did not quit after its request";
  EXPECT_EQ(app_replies(), std::vector<std::string>{kOkReply});

  // Written by the old service alone, before its hand-over.
  ASSERT_TRUE(service_log_.wait_for("install_update: 1.1.0: msiexec exit 0"));
  ASSERT_TRUE(service_log_.wait_for("service: stopped"));
  // The hand-over's "install" starts the service again on the new files.
  ASSERT_TRUE(wait_until(90s, [&] {
    const std::optional<SERVICE_STATUS_PROCESS> status = query_service_status();
    return status && status->dwCurrentState == SERVICE_RUNNING && status->dwProcessId != old_pid;
  }));
  EXPECT_EQ(installed_version(kLiteCode), "1.1.0");
  EXPECT_EQ(query_helper_service()->binary_path, L"\"" + kInstalledHelper + L"\" run");
  const UniqueHandle service_process(
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, query_service_status()->dwProcessId));
  ASSERT_TRUE(service_process);
  EXPECT_EQ(process_image_path(service_process.get()), narrow_lossy(kInstalledHelper));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
  // The app was started again after the installation.
  EXPECT_EQ(wait_for_app_starts(kLiteFolder, 2).size(), 2u);
}

}  // namespace
}  // namespace lumar::test
