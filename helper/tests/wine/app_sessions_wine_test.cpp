// Closing real copies of the stand-in app and starting it with
// CreateProcessAsUserW into session 1, the only session Wine has. Under Wine
// WTSQueryUserToken succeeds for any session id and CreateEnvironmentBlock
// does not fail, so those failures, other sessions and several sessions are
// shown by the unit tests' fake machine.
#include <gtest/gtest.h>

#include "fakes/fake_clock.h"
#include "fakes/fake_environment.h"
#include "fakes/fake_log.h"
#include "main/platform/processes.h"
#include "main/service/helper_log.h"
#include "support/app_wine_support.h"
#include "update/app/app_sessions.h"

namespace lumar::test {
namespace {

class AppSessionsWine : public testing::Test {
 protected:
  std::unique_ptr<Processes> processes = make_win32_processes();
  std::unique_ptr<SessionSystem> sessions = make_win32_session_system();
  FakeEnvironment environment;
  FakeClock clock;
  FakeLogFile log_file;
  HelperLog log{environment, clock, log_file};
};

TEST_F(AppSessionsWine, ClosesCopiesStartedBeforeTheCutoffAndLeavesLaterOnes) {
  const AppCopy app(L"close");
  Child first = app.start();
  Child second = app.start();
  ASSERT_EQ(app.wait_for_starts(2).size(), 2u);
  const std::uint64_t cutoff = system_time_now();
  ::Sleep(20);  // so that the late copy's creation time lies clearly after the cutoff
  Child late = app.start();
  ASSERT_EQ(app.wait_for_starts(3).size(), 3u);

  EXPECT_EQ(close_app_copies(*processes, log, app.exe_text(), cutoff),
            (std::vector<std::uint32_t>{1, 1}));
  EXPECT_EQ(log_file.messages,
            (std::vector<std::string>{"install_update: closed a copy of the app in session 1",
                                      "install_update: closed a copy of the app in session 1"}));
  for (Child* closed : {&first, &second}) {
    const std::optional<RunResult> ended = closed->wait(std::chrono::milliseconds(0));
    ASSERT_TRUE(ended) << "terminated and waited for, so already ended";
    EXPECT_EQ(ended->exit_code, 1u);
  }
  EXPECT_TRUE(late.running());
}

TEST_F(AppSessionsWine, StartsTheQuotedPathInItsFolderWithTheUsersEnvironment) {
  const AppCopy app(L"start", L"Lumar KQ Folder");  // a space in the path
  ASSERT_TRUE(start_app_in_session(*sessions, 1, app.exe_text()).has_value());
  const std::vector<AppStart> started = app.wait_for_starts(1);
  kill_copies(app.exe());
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].command_line, "\"" + app.exe_text() + "\"");
  EXPECT_EQ(started[0].current_folder, narrow_lossy(app.folder()));
  EXPECT_EQ(started[0].session, "1");
  // Wine's user environment block names C:\users\Public for ProgramData,
  // while this test runs with C:\ProgramData: the app got the block, not
  // the starter's own variables.
  wchar_t own[MAX_PATH] = {};
  ::GetEnvironmentVariableW(L"ProgramData", own, MAX_PATH);
  EXPECT_NE(started[0].program_data, narrow_lossy(own));
  EXPECT_FALSE(started[0].program_data.empty());
}

TEST_F(AppSessionsWine, RestartServesASessionOnceAndReportsAMissingFile) {
  const AppCopy app(L"restart");
  restart_app_in_sessions(*sessions, log, app.exe_text(), record_sessions(*sessions, {1, 1}));
  const std::vector<AppStart> started = app.wait_for_starts(1);
  kill_copies(app.exe());
  EXPECT_EQ(started.size(), 1u);
  EXPECT_EQ(log_file.messages,
            std::vector<std::string>{"install_update: app restarted in session 1"});

  const std::string missing = narrow_lossy(app.folder()) + "\\missing.exe";
  const Status failed = start_app_in_session(*sessions, 1, missing);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), "start " + missing + " (2)");
}

}  // namespace
}  // namespace lumar::test
