// The process seam and finding the app's copies, among real Wine processes.
// Wine runs every process in session 1, so several sessions are shown by the
// unit tests' fake machine instead.
#include <gtest/gtest.h>

#include <algorithm>

#include "main/base/unique_any_win32.h"
#include "main/platform/processes.h"
#include "support/app_wine_support.h"
#include "support/service_wine_support.h"
#include "update/app/app_processes.h"

namespace lumar::test {
namespace {

using std::chrono_literals::operator""ms;

std::string ascii_upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

class AppProcessesWine : public testing::Test {
 protected:
  std::unique_ptr<Processes> processes = make_win32_processes();
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
    const SystemResult<ProcessWait> waited = processes->wait(copy.process, 0ms);
    ASSERT_TRUE(waited.has_value()) << waited.error();
    EXPECT_EQ(*waited, ProcessWait::kTimedOut);
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

// The handle kinds of the one process seam: a query handle answers
// questions, and only a control handle may wait for the process or end it.
TEST_F(AppProcessesWine, AQueryHandleOnlyLooksAndAControlHandleWaitsAndEnds) {
  const AppCopy app(L"handle");
  const std::uint64_t before = system_time_now();
  Child child = app.start();
  ASSERT_EQ(app.wait_for_starts(1).size(), 1u);

  const SystemResult<ProcessHandle> looking = processes->open(child.pid(), ProcessAccess::kQuery);
  ASSERT_TRUE(looking.has_value()) << looking.error();
  const SystemResult<OsString> image = processes->image_path(*looking);
  ASSERT_TRUE(image.has_value()) << image.error();
  EXPECT_TRUE(equal_ascii_ci(*image, app.exe_text())) << *image;
  EXPECT_EQ(processes->session_id(*looking).value(), 1u);
  const std::uint64_t created = processes->creation_time(*looking).value();
  EXPECT_GE(created, before - 10'000'000);
  EXPECT_LE(created, system_time_now());
  EXPECT_EQ(processes->still_runs(*looking).value(), ProcessLife::kRunning);
  const SystemStatus not_ended = processes->terminate(*looking, 1);
  ASSERT_FALSE(not_ended.has_value());
  EXPECT_EQ(not_ended.error(), std::uint32_t{ERROR_ACCESS_DENIED});
  EXPECT_TRUE(child.running());

  const SystemResult<ProcessHandle> controlling =
      processes->open(child.pid(), ProcessAccess::kControl);
  ASSERT_TRUE(controlling.has_value()) << controlling.error();
  EXPECT_TRUE(processes->terminate(*controlling, 1).has_value());
  const SystemResult<ProcessWait> waited = processes->wait(*controlling, 10000ms);
  ASSERT_TRUE(waited.has_value()) << waited.error();
  EXPECT_EQ(*waited, ProcessWait::kEnded);
  EXPECT_EQ(processes->still_runs(*looking).value(), ProcessLife::kEnded);

  const SystemResult<ProcessHandle> nobody = processes->open(kDeadPid, ProcessAccess::kQuery);
  ASSERT_FALSE(nobody.has_value());
  EXPECT_EQ(nobody.error(), std::uint32_t{ERROR_INVALID_PARAMETER});
}

}  // namespace
}  // namespace lumar::test
