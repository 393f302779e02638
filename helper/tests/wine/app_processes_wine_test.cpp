// Finding the app's copies among real Wine processes. Wine runs every
// process in session 1, so several sessions are shown by the unit tests'
// fake machine instead.
#include <gtest/gtest.h>

#include <algorithm>

#include "app_wine_support.h"
#include "main/base/unique_any_win32.h"
#include "update/app_processes.h"

namespace lumar::test {
namespace {

std::string ascii_upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

class AppProcessesWine : public testing::Test {
 protected:
  std::unique_ptr<ProcessSystem> processes = make_win32_process_system();
};

TEST_F(AppProcessesWine, ListsTheRunningCopiesOfExactlyThatFileWithUsableHandles) {
  const AppCopy app(L"find");
  const AppCopy elsewhere(L"find-other");
  const std::uint64_t before = system_time_now();
  Child first = app.start();
  Child second = app.start();
  Child other = elsewhere.start();
  ASSERT_EQ(app.wait_for_starts(2).size(), 2u);

  const std::vector<AppInstance> found = find_app_instances(*processes, app.exe_text());
  ASSERT_EQ(found.size(), 2u);
  std::vector<DWORD> pids;
  for (const AppInstance& copy : found) {
    pids.push_back(::GetProcessId(native<UniqueProcess>(copy.process)));
    EXPECT_EQ(copy.session_id, 1u);
    EXPECT_GE(copy.created, before - 10'000'000);  // the creation time, not zero
    EXPECT_LE(copy.created, system_time_now());
    // The handle can wait: the copy is still running.
    EXPECT_EQ(::WaitForSingleObject(native<UniqueProcess>(copy.process), 0), DWORD{WAIT_TIMEOUT});
  }
  std::sort(pids.begin(), pids.end());
  std::vector<DWORD> started{first.pid(), second.pid()};
  std::sort(started.begin(), started.end());
  EXPECT_EQ(pids, started);

  // The path's ASCII case does not matter; its spelling does.
  EXPECT_EQ(find_app_instances(*processes, ascii_upper(app.exe_text())).size(), 2u);
  std::string slashes = app.exe_text();
  std::replace(slashes.begin(), slashes.end(), '\\', '/');
  EXPECT_TRUE(find_app_instances(*processes, slashes).empty());
  EXPECT_TRUE(find_app_instances(*processes, "\\\\?\\" + app.exe_text()).empty());
}

}  // namespace
}  // namespace lumar::test
