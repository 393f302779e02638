// The service's process killed in the middle of a whole update, under Wine,
// and the service started again as the next boot would: the product must be
// whole afterwards. The test freezes the service (and msiexec) at the moment
// it wants, by suspending their threads, and then terminates the service.
//
// Wine never acts on a service's failure actions: a service whose process
// dies stays down, and Wine's service manager goes on reporting it running.
// So the test starts it again itself, as the next boot would.
#include <windows.h>

#include <gtest/gtest.h>
#include <msi.h>
#include <tlhelp32.h>

#include <algorithm>

#include "main/base/text_win32.h"
#include "main/platform/process_image_win32.h"
#include "support/app_wine_support.h"
#include "support/package_support.h"
#include "support/service_wine_support.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

const std::wstring kInstalledHelper = std::wstring(kLiteFolder) + L"\\lumar-helper.exe";

// The child of `parent` running `exe_name`, or 0.
DWORD child_of(DWORD parent, const wchar_t* exe_name) {
  const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == parent && ::_wcsicmp(entry.szExeFile, exe_name) == 0) {
      return entry.th32ProcessID;
    }
  }
  return 0;
}

// Looks for the child without sleeping between looks: msiexec lives for less
// than a second under Wine.
DWORD wait_for_child(DWORD parent, const wchar_t* exe_name, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (const DWORD pid = child_of(parent, exe_name)) return pid;
  }
  return 0;
}

// Every thread of a process suspended while this lives.
class Frozen {
 public:
  explicit Frozen(DWORD pid) {
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry)) {
      if (entry.th32OwnerProcessID != pid) continue;
      UniqueHandle thread(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
      if (thread && ::SuspendThread(thread.get()) != static_cast<DWORD>(-1)) {
        threads_.push_back(std::move(thread));
      }
    }
  }
  ~Frozen() { thaw(); }
  Frozen(const Frozen&) = delete;
  Frozen& operator=(const Frozen&) = delete;
  bool holds_threads() const { return !threads_.empty(); }
  void thaw() {
    for (const UniqueHandle& thread : threads_) ::ResumeThread(thread.get());
    threads_.clear();
  }

 private:
  std::vector<UniqueHandle> threads_;
};

UniqueHandle open_process(DWORD pid) {
  return UniqueHandle(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
}

bool start_helper_service_again() {
  const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueServiceHandle service(::OpenServiceW(manager.get(), L"LumarHelper", SERVICE_START));
  return service && ::StartServiceW(service.get(), 0, nullptr);
}

// The products installed with the Lite UpgradeCode.
int lite_products() {
  const std::wstring code = wide(kLiteCode);
  int count = 0;
  wchar_t product[39];
  while (::MsiEnumRelatedProductsW(code.c_str(), 0, count, product) == ERROR_SUCCESS) ++count;
  return count;
}

// Staged packages and installer logs in every folder the helper stages in
// or scans, in name order.
std::vector<std::wstring> staged_files() {
  std::wstring own_temp = temp_path();
  own_temp.pop_back();  // its trailing backslash
  std::vector<std::wstring> found;
  for (const std::wstring& folder :
       {own_temp + L"\\lumar-helper", own_temp, std::wstring(L"C:\\windows\\Temp"),
        std::wstring(L"C:\\windows\\SystemTemp")}) {
    for (const std::wstring& name : names_in(folder, staged_files_pattern())) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

enum class Moment { kDuringMsiexec, kBeforeTheRestart, kDuringTheHandOver };

struct CrashCase {
  const char* name;
  Moment moment;
  // What the recovery logs at the next start, when it has anything to do.
  std::vector<std::string> recovery_lines;
};

const std::string kInstalledLine =
    "service: interrupted update to 1.1.0: Lumar KQ Lite 1.1.0 is installed";
const std::string kStartedLine =
    "service: started " + narrow_lossy(installed_app()) + " after an interrupted update";

// Lite 1.0.0 installed with its helper registered and running as the
// service, as users have it.
class ServiceInstalled : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(remove_helper_service());
    uninstall_test_products();
    ASSERT_EQ(install_package(L"lite-1.0.0.msi"), 0u);
    ::DeleteFileW(app_starts_file().c_str());
    folder_ = make_temp_folder(L"svc-crash");
    const RunResult setup = run_logged(kInstalledHelper, L"install", folder_);
    ASSERT_EQ(setup.exit_code, 0u) << setup.err;
    ASSERT_TRUE(log_.wait_for("service: running"));
    ASSERT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
    // A failed installation of another test may have left its log.
    files_before_ = staged_files();
  }
  void TearDown() override {
    EXPECT_TRUE(remove_helper_service());
    kill_copies(installed_app());
    uninstall_test_products();
  }

  std::wstring folder_;
  LogTail log_;
  std::vector<std::wstring> files_before_;
};

class ServiceCrash : public ServiceInstalled, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(ServiceCrash, AfterTheNextStartTheProductIsWhole) {
  const CrashCase& c = GetParam();
  const DWORD service_pid = query_service_status()->dwProcessId;
  const UniqueHandle service = open_process(service_pid);
  ASSERT_TRUE(service);
  Child app = ask_for_update(L"lite-1.1.0.msi", L"update");

  // The child whose appearance marks the moment, held until the kill.
  const wchar_t* marker =
      c.moment == Moment::kDuringTheHandOver ? L"lumar-helper.exe" : L"msiexec.exe";
  const DWORD child = wait_for_child(service_pid, marker, 90s);
  ASSERT_NE(child, 0u) << "the update never reached the moment";
  const UniqueHandle child_process = open_process(child);
  Frozen frozen_child(child);
  Frozen frozen_service(service_pid);
  ASSERT_TRUE(frozen_service.holds_threads());
  if (c.moment == Moment::kBeforeTheRestart) {
    // msiexec finishes while the service cannot take its next step.
    frozen_child.thaw();
    ASSERT_EQ(::WaitForSingleObject(child_process.get(), 60000), WAIT_OBJECT_0);
  }
  ASSERT_TRUE(::TerminateProcess(service.get(), 1));
  ASSERT_EQ(::WaitForSingleObject(service.get(), 10000), WAIT_OBJECT_0);
  // Whatever the service had started runs to its end.
  frozen_child.thaw();
  ASSERT_EQ(::WaitForSingleObject(child_process.get(), 60000), WAIT_OBJECT_0);

  // As the next boot would. The hand-over's "install" may have started it
  // already. Wine's service manager never notices that the process died,
  // but it starts the service again all the same.
  const auto running_anew = [&] {
    const std::optional<SERVICE_STATUS_PROCESS> status = query_service_status();
    return status && status->dwCurrentState == SERVICE_RUNNING &&
           status->dwProcessId != service_pid;
  };
  ASSERT_TRUE(wait_until(60s, [&] { return running_anew() || start_helper_service_again(); }));
  ASSERT_TRUE(wait_until(60s, running_anew));
  for (const std::string& line : c.recovery_lines) EXPECT_TRUE(log_.wait_for(line)) << line;
  EXPECT_TRUE(wait_until(30s, [&] { return staged_files() == files_before_; }))
      << narrow_lossy(staged_files().empty() ? L"" : staged_files().back());

  EXPECT_EQ(lite_products(), 1);
  EXPECT_EQ(installed_version(kLiteCode), "1.1.0");
  const std::unique_ptr<Processes> processes = make_win32_processes();
  EXPECT_TRUE(wait_until(30s, [&] {
    return find_app_instances(*processes, narrow_lossy(installed_app())).size() == 1;
  }));
  EXPECT_EQ(find_app_instances(*processes, narrow_lossy(installed_app())).size(), 1u);
  const UniqueHandle serving(
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, query_service_status()->dwProcessId));
  ASSERT_TRUE(serving);
  EXPECT_EQ(process_image_path(serving.get()), narrow_lossy(kInstalledHelper));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
  EXPECT_EQ(send_stop_control(), 0u);
  EXPECT_TRUE(wait_for_service_state(SERVICE_STOPPED));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, ServiceCrash,
    testing::Values(
        CrashCase{"DuringMsiexec", Moment::kDuringMsiexec, {kInstalledLine, kStartedLine}},
        CrashCase{"BeforeTheRestart", Moment::kBeforeTheRestart, {kInstalledLine, kStartedLine}},
        // The app is back and the package released before the hand-over:
        // nothing is left to recover.
        CrashCase{"DuringTheHandOver", Moment::kDuringTheHandOver, {}}),
    [](const testing::TestParamInfo<CrashCase>& info) { return std::string(info.param.name); });

// Read back where the service manager keeps them. Wine 8 accepts failure
// actions without storing them and answers the query with
// ERROR_INVALID_LEVEL, and it has no failure-actions flag at all: install
// ignores that, and the values are checked against a fake
// (service_registration_test.cpp). Wine never restarts a dead service.
TEST_F(ServiceInstalled, IsToldToRestartAfterACrash) {
  const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueServiceHandle service(
      ::OpenServiceW(manager.get(), L"LumarHelper", SERVICE_QUERY_CONFIG));
  ASSERT_TRUE(service);
  auto buffer = std::make_unique<DWORD[]>(2048);
  DWORD needed = 0;
  if (!::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                              reinterpret_cast<BYTE*>(buffer.get()), 8192, &needed)) {
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    GTEST_SKIP() << "this Wine keeps no failure actions";
  }
  const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.get());
  EXPECT_EQ(actions->dwResetPeriod, 86400u);
  ASSERT_EQ(actions->cActions, 3u);
  const DWORD delays[] = {5000, 30000, 60000};
  for (DWORD i = 0; i < 3; ++i) {
    EXPECT_EQ(actions->lpsaActions[i].Type, SC_ACTION_RESTART) << i;
    EXPECT_EQ(actions->lpsaActions[i].Delay, delays[i]) << i;
  }
}

}  // namespace
}  // namespace lumar::test
