#include "update/app/app_sessions.h"

#include <algorithm>
#include <utility>

#include "main/base/windows_paths.h"
#include "update/app/app_processes.h"

namespace lumar {

std::vector<RecordedSession> record_sessions(SessionSystem& sessions,
                                             const std::vector<std::uint32_t>& session_ids) {
  std::vector<RecordedSession> recorded;
  recorded.reserve(session_ids.size());
  for (const std::uint32_t id : session_ids) {
    RecordedSession session{id, std::nullopt};
    if (SystemResult<UserToken> token = sessions.user_token(id); token.has_value()) {
      SystemResult<std::string> user = sessions.token_user(*token);
      if (user.has_value()) session.user = *user;
    }
    recorded.push_back(std::move(session));
  }
  return recorded;
}

std::vector<std::uint32_t> close_app_copies(Processes& processes, HelperLog& log,
                                            std::string_view executable_path,
                                            std::uint64_t cutoff) {
  std::vector<std::uint32_t> closed_in;
  std::vector<AppInstance> copies = find_app_instances(processes, executable_path);
  for (AppInstance& copy : copies) {
    // A copy that began at or after the cutoff was started after the caller
    // looked at the clock; it is not this round's to close.
    if (copy.created < cutoff) {
      // The app is told nothing and gets no chance to save: it is ended.
      // Whether it really ended is not checked; the installer copes with a
      // file in use.
      (void)processes.terminate(copy.process, 1);
      (void)processes.wait(copy.process, kTerminationWait);
      log.write("install_update: closed a copy of the app in session " +
                std::to_string(copy.session_id));
      closed_in.push_back(copy.session_id);
    }
    copy.process.reset();
  }
  return closed_in;
}

Status start_app_in_session(SessionSystem& sessions, std::uint32_t session,
                            std::string_view executable_path,
                            const std::vector<std::string>& users) {
  SystemResult<UserToken> token = sessions.user_token(session);
  if (!token.has_value()) {
    return fail("no signed-in user in session " + std::to_string(session) + " (" +
                std::to_string(token.error()) + ")");
  }
  if (!users.empty()) {
    // Asked of the token that starts the app, so no sign-in in between can
    // slip past the comparison.
    const SystemResult<std::string> user = sessions.token_user(*token);
    if (!user.has_value() || std::find(users.begin(), users.end(), *user) == users.end()) {
      return fail("another user is signed in to session " + std::to_string(session) +
                  "; not started");
    }
  }
  // The user's variables alone: the helper's own (the system account's
  // profile and temp folders) must not leak into the user's app.
  SystemResult<EnvironmentBlock> environment = sessions.user_environment(*token);
  if (!environment.has_value()) {
    return fail("build the user's environment (" + std::to_string(environment.error()) + ")");
  }
  UserProcessLaunch launch;
  launch.application = OsString(executable_path);
  // The quoted path alone: the app takes no arguments.
  launch.command_line = command_line(executable_path, {}, QuoteRule::kProgramAlwaysQuoted);
  if (const std::optional<std::string_view> folder = parent_folder(executable_path)) {
    launch.current_directory = OsString(*folder);
  }
  const SystemStatus started = sessions.start_as_user(*token, *environment, launch);
  if (!started.has_value()) {
    return fail("start " + os_text_lossy(executable_path) + " (" + std::to_string(started.error()) +
                ")");
  }
  return {};
}

void restart_app_in_sessions(SessionSystem& sessions, HelperLog& log,
                             std::string_view executable_path,
                             std::vector<RecordedSession> recorded) {
  std::sort(recorded.begin(), recorded.end());
  recorded.erase(std::unique(recorded.begin(), recorded.end()), recorded.end());
  for (auto first = recorded.begin(); first != recorded.end();) {
    const std::uint32_t session = first->id;
    // Every user whose copy was closed in this session may have it back.
    std::vector<std::string> users;
    for (; first != recorded.end() && first->id == session; ++first) {
      if (first->user) users.push_back(*first->user);
    }
    if (users.empty()) {
      log.write("install_update: restart the app: no user could be recorded in session " +
                std::to_string(session) + "; not started");
      continue;
    }
    const Status started = start_app_in_session(sessions, session, executable_path, users);
    if (started.has_value()) {
      log.write("install_update: app restarted in session " + std::to_string(session));
    } else {
      log.write("install_update: restart the app: " + started.error());
    }
  }
}

}  // namespace lumar
