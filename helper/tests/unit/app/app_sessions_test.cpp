#include "update/app/app_sessions.h"

#include <gtest/gtest.h>

#include "fakes/fake_log.h"
#include "fakes/fake_processes.h"

namespace lumar {
namespace {

using std::chrono::milliseconds;
using test::app_process;
using test::Events;
using test::FakeProcesses;
using test::FakeSessions;
using test::kAppPath;
using test::RecordingLog;

// Wine runs every process in session 1 and gives a token for any session,
// so sessions other than 1, several sessions and a session without a user
// exist only in this fake.
class AppSessions : public testing::Test {
 protected:
  Events events;
  FakeProcesses processes{&events};
  FakeSessions sessions{&events};
  RecordingLog log;
};

TEST_F(AppSessions, ClosesCopiesCreatedBeforeTheCutoffAndRecordsTheirSessions) {
  processes.add(app_process(11, 3u, 499u));
  processes.add(app_process(12, 1u, 100u));
  processes.add(app_process(13, 3u, 0u));
  // Started at or after the cutoff: someone else's, left running.
  processes.add(app_process(14, 4u, 500u));
  processes.add(app_process(15, 5u, 900u));

  EXPECT_EQ(close_app_copies(processes, log.log, kAppPath, 500),
            (std::vector<std::uint32_t>{3, 1, 3}));

  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"install_update: closed a copy of the app in session 3",
                                      "install_update: closed a copy of the app in session 1",
                                      "install_update: closed a copy of the app in session 3"}));
  EXPECT_EQ(processes.waits,
            (std::vector<std::pair<std::uint32_t, milliseconds>>{
                {11, milliseconds(10000)}, {12, milliseconds(10000)}, {13, milliseconds(10000)}}));
  EXPECT_TRUE(processes.find(14)->running);
  EXPECT_TRUE(processes.find(15)->running);
  EXPECT_EQ(processes.open_handles, 0);
  // Each copy's handle is closed before the next copy is dealt with.
  EXPECT_EQ(
      std::vector<std::string>(events.begin(), events.begin() + 3),
      (std::vector<std::string>{"terminate 11 with 1", "close handle 11", "terminate 12 with 1"}));
}

TEST_F(AppSessions, CopyThatIgnoresTerminationStillCountsAsClosed) {
  processes.add(app_process(11, 2u)).survives_termination = true;
  EXPECT_EQ(close_app_copies(processes, log.log, kAppPath, 1000), (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"install_update: closed a copy of the app in session 2"}));
  EXPECT_TRUE(processes.find(11)->running);
}

TEST_F(AppSessions, NoCopiesCloseNothingAndLogNothing) {
  processes.add(
      {.pid = 11, .exe_name = "lumar-desktop.exe", .image = R"(C:\other\lumar-desktop.exe)"});
  EXPECT_TRUE(close_app_copies(processes, log.log, kAppPath, 1000).empty());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(processes.find(11)->running);
}

TEST_F(AppSessions, StartsTheQuotedPathAloneInItsOwnFolderAsTheSessionsUser) {
  sessions.signed_in = {2};
  ASSERT_TRUE(start_app_in_session(sessions, 2, kAppPath).has_value());
  ASSERT_EQ(sessions.starts.size(), 1u);
  const test::Start& start = sessions.starts[0];
  EXPECT_EQ(start.session, 2u);
  EXPECT_EQ(start.launch.application, kAppPath);
  EXPECT_EQ(start.launch.command_line, std::string("\"") + kAppPath + "\"");
  EXPECT_EQ(start.launch.current_directory, R"(C:\Program Files\Lumar KQ)");
  EXPECT_EQ(sessions.live_tokens, 0);
  EXPECT_EQ(sessions.live_environments, 0);
  EXPECT_TRUE(log.lines().empty());

  // Without a parent folder the helper's own current folder is left to it.
  ASSERT_TRUE(start_app_in_session(sessions, 2, "lumar-desktop.exe").has_value());
  EXPECT_EQ(sessions.starts[1].launch.current_directory, std::nullopt);
}

TEST_F(AppSessions, StartFailuresNameTheStepAndReleaseWhatWasAcquired) {
  sessions.signed_in = {1};
  const Status no_user = start_app_in_session(sessions, 0, kAppPath);
  ASSERT_FALSE(no_user.has_value());
  EXPECT_EQ(no_user.error(), "no signed-in user in session 0 (1008)");
  EXPECT_EQ(sessions.environments_built, 0);

  sessions.environment_error = 8;
  const Status no_environment = start_app_in_session(sessions, 1, kAppPath);
  ASSERT_FALSE(no_environment.has_value());
  EXPECT_EQ(no_environment.error(), "build the user's environment (8)");
  EXPECT_EQ(sessions.live_tokens, 0);

  sessions.environment_error.reset();
  sessions.start_errors[1] = 2;
  const Status not_started = start_app_in_session(sessions, 1, "C:\\b\xFFg\\app.exe");
  ASSERT_FALSE(not_started.has_value());
  EXPECT_EQ(not_started.error(), "start C:\\b\xEF\xBF\xBDg\\app.exe (2)");
  EXPECT_EQ(sessions.live_tokens, 0);
  EXPECT_EQ(sessions.live_environments, 0);
  EXPECT_TRUE(sessions.starts.empty());
}

// Each session as recorded now, by who is signed in there.
std::vector<RecordedSession> recorded(FakeSessions& sessions, std::vector<std::uint32_t> ids) {
  return record_sessions(sessions, ids);
}

TEST_F(AppSessions, RestartServesEachSessionOnceInAscendingOrder) {
  sessions.signed_in = {1, 2, 3};
  restart_app_in_sessions(sessions, log.log, kAppPath, recorded(sessions, {3, 1, 3, 2}));
  ASSERT_EQ(sessions.starts.size(), 3u);
  EXPECT_EQ(sessions.starts[0].session, 1u);
  EXPECT_EQ(sessions.starts[1].session, 2u);
  EXPECT_EQ(sessions.starts[2].session, 3u);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"install_update: app restarted in session 1",
                                                   "install_update: app restarted in session 2",
                                                   "install_update: app restarted in session 3"}));
}

TEST_F(AppSessions, RestartLogsAFailedSessionAndServesTheOthers) {
  sessions.signed_in = {0, 1, 2};
  sessions.start_errors[2] = 5;
  std::vector<RecordedSession> list = recorded(sessions, {2, 0, 1});
  sessions.signed_in = {1, 2};  // session 0's user signed out since
  restart_app_in_sessions(sessions, log.log, kAppPath, std::move(list));
  ASSERT_EQ(sessions.starts.size(), 1u);
  EXPECT_EQ(sessions.starts[0].session, 1u);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "install_update: restart the app: no signed-in user in session 0 (1008)",
                "install_update: app restarted in session 1",
                std::string("install_update: restart the app: start ") + kAppPath + " (5)"}));
}

// The app is started again only as a user whose copy ran in the session:
// not for whoever has signed in there since, nor where nobody could be
// recorded.
TEST_F(AppSessions, RestartSkipsASessionWhoseUserIsNotTheRecordedOne) {
  sessions.signed_in = {1, 2, 3};
  sessions.users[3] = "S-1-5-21-alice";
  std::vector<RecordedSession> list = recorded(sessions, {1, 2, 3, 4});
  sessions.users[2] = "S-1-5-21-mallory";  // another user in session 2 now
  sessions.users[3] = "S-1-5-21-bob";
  list.push_back({3, "S-1-5-21-bob"});  // bob's copy was closed there later
  sessions.signed_in.insert(4);
  restart_app_in_sessions(sessions, log.log, kAppPath, std::move(list));
  ASSERT_EQ(sessions.starts.size(), 2u);
  EXPECT_EQ(sessions.starts[0].session, 1u);
  EXPECT_EQ(sessions.starts[1].session, 3u);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "install_update: app restarted in session 1",
                "install_update: restart the app: another user is signed in to session 2; not "
                "started",
                "install_update: app restarted in session 3",
                "install_update: restart the app: no user could be recorded in session 4; not "
                "started"}));
  EXPECT_EQ(sessions.live_tokens, 0);
}

TEST_F(AppSessions, RestartWithNoSessionsDoesNothing) {
  restart_app_in_sessions(sessions, log.log, kAppPath, {});
  EXPECT_TRUE(sessions.starts.empty());
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace lumar
