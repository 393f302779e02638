// The recovery after an interrupted update, run by the real service at its
// start under Wine, with the Lite product 1.0.0 installed by msiexec. The
// staged packages are put into C:\windows\Temp, which the recovery always
// scans. Windows Installer never holds its mutex under Wine, so a test
// program holds "Global\_MSIExecute"; a console without a session and a
// console session without a user are shown with fakes (recovery_test.cpp).
// Wine runs everything as its one user and reports that user as the owner of
// every file, even after SetNamedSecurityInfoW names another: the packages
// planted here count as the helper's own because that user is the account the
// helper runs as. Files of other owners are shown with fakes as well.
#include <gtest/gtest.h>

#include <thread>

#include "main/base/text_win32.h"
#include "support/app_wine_support.h"
#include "support/package_support.h"
#include "support/service_wine_support.h"

namespace lumar::test {
namespace {

const std::wstring kTemp = L"C:\\windows\\Temp";
const std::string kStartedLine =
    "service: started " + narrow_lossy(installed_app()) + " after an interrupted update";

bool installer_mutex_exists() {
  const UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\_MSIExecute"));
  return mutex.valid();
}

class RecoveryAtServiceStart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(remove_helper_service());
    uninstall_test_products();
    ASSERT_EQ(install_package(L"lite-1.0.0.msi"), 0u);
    ::DeleteFileW(app_starts_file().c_str());
    folder_ = make_temp_folder(L"recovery");
    helper_ = copy_helper(folder_ + L"\\helper");
  }
  void TearDown() override {
    EXPECT_TRUE(remove_helper_service());
    kill_copies(installed_app());
    uninstall_test_products();
  }

  // Registers and starts the service, whose start runs the recovery.
  void start_service() {
    ASSERT_EQ(run_logged(helper_, L"install", folder_).exit_code, 0u);
    ASSERT_TRUE(service_log_.wait_for("service: running"));
    // Serving: the recovery runs beside the pipe server.
    ASSERT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
  }
  std::vector<AppStart> app_starts() const { return read_app_starts(kLiteFolder); }

  std::wstring folder_;
  std::wstring helper_;
  LogTail service_log_;
};

TEST_F(RecoveryAtServiceStart, AYoungOrphanWaitsForTheInstallerThenIsDeletedAndTheAppStarts) {
  const PlantedStagedFile orphan(kTemp, staged_name(kDeadPid), std::chrono::minutes(10),
                                 package_path(L"lite-1.1.0.msi"));
  Child installer(quote(program_exe(L"hold_installer_mutex")), {}, false);
  ASSERT_TRUE(wait_until(30s, installer_mutex_exists));

  start_service();
  // Past one look at the mutex every 2 s: while it is held nothing happens.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_TRUE(file_exists(orphan.path()));
  EXPECT_TRUE(app_starts().empty());

  installer.terminate();  // abandoned: the installer is gone
  EXPECT_TRUE(wait_until(30s, [&] { return !file_exists(orphan.path()); }));
  const std::vector<AppStart> starts = wait_for_app_starts(kLiteFolder, 1);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].command_line, "\"" + narrow_lossy(installed_app()) + "\"");
  EXPECT_EQ(starts[0].session, "1");
  EXPECT_TRUE(service_log_.wait_for(kStartedLine));
}

TEST_F(RecoveryAtServiceStart, AnAppAlreadyRunningInTheConsoleSessionIsNotStartedAgain) {
  Child running(quote(installed_app()), {}, false);
  ASSERT_EQ(wait_for_app_starts(kLiteFolder, 1).size(), 1u);
  const PlantedStagedFile orphan(kTemp, staged_name(kDeadPid), std::chrono::minutes(10),
                                 package_path(L"lite-1.1.0.msi"));

  start_service();
  EXPECT_TRUE(wait_until(30s, [&] { return !file_exists(orphan.path()); }));
  ASSERT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
  EXPECT_EQ(app_starts().size(), 1u);
  for (const std::string& line : service_log_.messages()) EXPECT_NE(line, kStartedLine);
}

TEST_F(RecoveryAtServiceStart, OnlyOrphansAreTouchedAndOldOnesStartNothing) {
  // An orphan staged two hours ago, of the installed product.
  const PlantedStagedFile old_orphan(kTemp, staged_name(kDeadPid), std::chrono::hours(2),
                                     package_path(L"lite-1.1.0.msi"));
  // A package of a running lumar-helper.exe (a stand-in under that name).
  const std::wstring live_folder = make_temp_folder(L"live");
  const std::wstring live_exe = live_folder + L"\\lumar-helper.exe";
  ASSERT_TRUE(::CopyFileW(program_exe(L"lumar-desktop").c_str(), live_exe.c_str(), FALSE));
  Child live(quote(live_exe), {}, false);
  ASSERT_TRUE(live.running());
  const PlantedStagedFile of_live_helper(kTemp, staged_name(live.pid()), std::chrono::minutes(10),
                                         package_path(L"lite-1.1.0.msi"));
  // A name without a number, and a package written in the future.
  const PlantedStagedFile no_number(kTemp, L"lumar-update-abc-1.msi", std::chrono::minutes(10),
                                    package_path(L"lite-1.1.0.msi"));
  const PlantedStagedFile future(kTemp, staged_name(kDeadPid + 4), -std::chrono::hours(24),
                                 package_path(L"lite-1.1.0.msi"));

  start_service();
  EXPECT_TRUE(wait_until(30s, [&] { return !file_exists(old_orphan.path()); }));
  ASSERT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
  EXPECT_TRUE(file_exists(of_live_helper.path()));
  EXPECT_TRUE(file_exists(no_number.path()));
  EXPECT_TRUE(file_exists(future.path()));
  EXPECT_TRUE(app_starts().empty());
  for (const std::string& line : service_log_.messages()) EXPECT_NE(line, kStartedLine);
}

}  // namespace
}  // namespace lumar::test
