// Closing the desktop application's copies around an installation and
// starting it again in users' sessions, as the user signed in there.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/platform/processes.h"
#include "main/service/helper_log.h"

namespace lumar {

// Owned results of the session calls; destroying one closes the token or
// destroys the environment block.
using UserToken = UniqueOpaque<struct UserTokenTag>;
using EnvironmentBlock = UniqueOpaque<struct EnvironmentBlockTag>;

// How a process is started in a user's session.
struct UserProcessLaunch {
  OsString application;                       // the executable's full path
  OsString command_line;                      // what the process sees as its command line
  std::optional<OsString> current_directory;  // nothing: the helper's own
};

// What starting the app as a session's user needs from the operating system.
class SessionSystem {
 public:
  virtual ~SessionSystem() = default;
  // The console session's id; nothing when no session is attached to it.
  virtual std::optional<std::uint32_t> console_session() = 0;
  // The token of the user signed in to `session`.
  virtual SystemResult<UserToken> user_token(std::uint32_t session) = 0;
  // The token's user, as the text form of its SID.
  virtual SystemResult<std::string> token_user(const UserToken& token) = 0;
  // That user's environment alone, none of the helper's variables.
  virtual SystemResult<EnvironmentBlock> user_environment(const UserToken& token) = 0;
  // Starts the process as the token's user on the interactive desktop, with a
  // Unicode environment and no inherited handles; the new process's handles
  // are closed at once. The code is the one read right after the call failed.
  virtual SystemStatus start_as_user(const UserToken& token, const EnvironmentBlock& environment,
                                     const UserProcessLaunch& launch) = 0;
};

// A session in which the app ran, and the user signed in there when that was
// recorded (the text form of the SID), or nothing when none could be had.
struct RecordedSession {
  std::uint32_t id = 0;
  std::optional<std::string> user;
  friend bool operator==(const RecordedSession&, const RecordedSession&) = default;
  friend auto operator<=>(const RecordedSession&, const RecordedSession&) = default;
};

// Records who is signed in to each session now.
std::vector<RecordedSession> record_sessions(SessionSystem& sessions,
                                             const std::vector<std::uint32_t>& session_ids);

// How long a terminated copy is given to end.
inline constexpr std::chrono::milliseconds kTerminationWait{10000};

// Terminates every copy of `executable_path` created before `cutoff` (FILETIME
// ticks) and returns their sessions in termination order, repeats included.
// Copies created at or after the cutoff are left running.
std::vector<std::uint32_t> close_app_copies(Processes& processes, HelperLog& log,
                                            std::string_view executable_path, std::uint64_t cutoff);

// Starts the app, with its quoted path as the whole command line and its own
// folder as current folder, as the user signed in to `session`. Logs nothing.
// When `users` is not empty, the token's user must be one of them (compared
// through the very token the app is started with), or nothing is started:
// "another user is signed in to session {session}; not started".
Status start_app_in_session(SessionSystem& sessions, std::uint32_t session,
                            std::string_view executable_path,
                            const std::vector<std::string>& users = {});

// Starts the app once in each distinct session, lowest id first, and logs
// one line per session, but only as a user whose copy was recorded there: a
// session whose user has changed since (signed out, someone else signed in)
// is skipped, and so is one where no user could be recorded. A failure in
// one session does not stop the others.
void restart_app_in_sessions(SessionSystem& sessions, HelperLog& log,
                             std::string_view executable_path,
                             std::vector<RecordedSession> recorded);

// The Windows implementation, built only for Windows.
std::unique_ptr<SessionSystem> make_win32_session_system();

}  // namespace lumar
