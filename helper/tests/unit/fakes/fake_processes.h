// Processes and sessions as the helper sees them: a pretend machine with a
// process table the tests fill, sessions with or without a signed-in user,
// and an optional event list in which every visible effect is recorded in
// order.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_log.h"
#include "main/platform/process_exit.h"
#include "main/platform/processes.h"
#include "update/app/app_sessions.h"

namespace lumar::test {

// Hands out fake handles of one kind, each a number the fake chose (a pid,
// a session), and counts those still open.
class CountingCloser final : public HandleCloser {
 public:
  CountingCloser(int& live, std::function<void(std::uintptr_t)> closed = {})
      : live_(live), closed_(std::move(closed)) {}
  template <class Handle>
  Handle open(std::uintptr_t value) {
    ++live_;
    return Handle(OpaqueValue{value, this});
  }
  void close(std::uintptr_t value) override {
    --live_;
    if (closed_) closed_(value);
  }

 private:
  int& live_;
  std::function<void(std::uintptr_t)> closed_;
};

// The number a fake handle was opened with: the pid, for a process.
template <class Handle>
std::uint32_t fake_value(const Handle& handle) {
  return static_cast<std::uint32_t>(handle.get().value);
}

// A failed system call's result.
inline Unexpected<std::uint32_t> fails_with(std::uint32_t code) { return Unexpected(code); }

// One process of the pretend machine.
struct FakeProcess {
  std::uint32_t pid = 0;
  OsString exe_name;
  SystemResult<OsString> image = OsString();
  SystemResult<std::uint32_t> session = 1u;
  SystemResult<std::uint64_t> created = std::uint64_t{100};
  bool openable = true;
  // Opened for queries only, as another account's or a protected process.
  bool controllable = true;
  bool running = true;
  std::optional<std::uint32_t> running_unknown;  // asking whether it runs fails with this code
  // Ends by itself as soon as anyone waits for it (an app that quits after
  // its update was accepted).
  bool quits_when_waited_for = false;
  bool survives_termination = false;
};

// Where the app is installed, and a running copy of it.
inline const OsString kAppPath = R"(C:\Program Files\Lumar KQ\lumar-desktop.exe)";
inline FakeProcess app_process(std::uint32_t pid, SystemResult<std::uint32_t> session = 1u,
                               SystemResult<std::uint64_t> created = std::uint64_t{100}) {
  return {.pid = pid,
          .exe_name = "lumar-desktop.exe",
          .image = kAppPath,
          .session = std::move(session),
          .created = std::move(created)};
}

class FakeProcesses final : public Processes {
 public:
  explicit FakeProcesses(Events* events = nullptr) : events_(events) {}

  std::vector<FakeProcess> processes;
  std::optional<std::uint32_t> snapshot_error;
  int snapshots = 0;
  std::vector<std::uint32_t> opened;  // pids, in order
  std::vector<ProcessAccess> access;  // asked for, in the same order
  int open_handles = 0;
  std::vector<std::pair<std::uint32_t, std::chrono::milliseconds>> waits;  // pid, limit

  FakeProcess& add(FakeProcess process) { return processes.emplace_back(std::move(process)); }
  FakeProcess* find(std::uint32_t pid) {
    for (FakeProcess& p : processes) {
      if (p.pid == pid) return &p;
    }
    return nullptr;
  }

  SystemResult<std::vector<ProcessEntry>> snapshot() override {
    ++snapshots;
    if (snapshot_error) return fails_with(*snapshot_error);
    std::vector<ProcessEntry> entries;
    for (const FakeProcess& p : processes) {
      if (p.running) entries.push_back({p.pid, p.exe_name});
    }
    return entries;
  }
  SystemResult<ProcessHandle> open(std::uint32_t pid, ProcessAccess wanted) override {
    opened.push_back(pid);
    access.push_back(wanted);
    const FakeProcess* p = find(pid);
    if (p == nullptr) return fails_with(87);  // ERROR_INVALID_PARAMETER: no such process
    if (!p->openable || (wanted == ProcessAccess::kControl && !p->controllable)) {
      return fails_with(5);  // ERROR_ACCESS_DENIED
    }
    // The handle's number is the pid, with the query-only handles marked
    // above its 32 bits.
    const std::uintptr_t query_only = wanted == ProcessAccess::kQuery ? kQueryOnly : 0;
    return handles_.open<ProcessHandle>(pid | query_only);
  }
  SystemResult<OsString> image_path(const ProcessHandle& process) override {
    return of(process).image;
  }
  SystemResult<std::uint32_t> session_id(const ProcessHandle& process) override {
    return of(process).session;
  }
  SystemResult<std::uint64_t> creation_time(const ProcessHandle& process) override {
    return of(process).created;
  }
  SystemResult<ProcessLife> still_runs(const ProcessHandle& process) override {
    const FakeProcess& p = of(process);
    if (p.running_unknown) return fails_with(*p.running_unknown);
    return p.running ? ProcessLife::kRunning : ProcessLife::kEnded;
  }
  SystemStatus terminate(const ProcessHandle& process, std::uint32_t exit_code) override {
    if (query_only(process)) return fails_with(5);
    FakeProcess& p = of(process);
    record("terminate " + std::to_string(p.pid) + " with " + std::to_string(exit_code));
    if (!p.survives_termination) p.running = false;
    return {};
  }
  SystemResult<ProcessWait> wait(const ProcessHandle& process,
                                 std::chrono::milliseconds limit) override {
    if (query_only(process)) return fails_with(5);
    FakeProcess& p = of(process);
    waits.emplace_back(p.pid, limit);
    if (p.quits_when_waited_for) p.running = false;
    return p.running ? ProcessWait::kTimedOut : ProcessWait::kEnded;
  }

 private:
  static constexpr std::uintptr_t kQueryOnly = std::uintptr_t{1} << 32;

  static bool query_only(const ProcessHandle& process) {
    return (process.get().value & kQueryOnly) != 0;
  }
  FakeProcess& of(const ProcessHandle& process) { return *find(fake_value(process)); }
  void record(std::string event) {
    if (events_ != nullptr) events_->push_back(std::move(event));
  }

  Events* events_;
  CountingCloser handles_{open_handles, [this](std::uintptr_t value) {
                            record("close handle " + std::to_string(value));
                          }};
};

struct Start {
  std::uint32_t session = 0;
  UserProcessLaunch launch;
};

// Sessions with or without a signed-in user; every start is recorded.
class FakeSessions final : public SessionSystem {
 public:
  explicit FakeSessions(Events* events = nullptr) : events_(events) {}

  std::set<std::uint32_t> signed_in = {1, 2};
  // Who is signed in where, by the SID's text: "S-1-5-21-{session}" unless
  // set here. A test changes it to sign another user in.
  std::map<std::uint32_t, std::string> users;
  std::uint32_t token_error = 1008;  // ERROR_NO_TOKEN
  std::optional<std::uint32_t> environment_error;
  std::map<std::uint32_t, std::uint32_t> start_errors;  // by session
  int live_tokens = 0;
  int live_environments = 0;
  int environments_built = 0;
  std::vector<Start> starts;
  std::optional<std::uint32_t> console = 1;  // the console's session

  std::optional<std::uint32_t> console_session() override { return console; }
  SystemResult<UserToken> user_token(std::uint32_t session) override {
    if (!signed_in.contains(session)) return fails_with(token_error);
    return tokens_.open<UserToken>(session);
  }
  SystemResult<std::string> token_user(const UserToken& token) override {
    const std::uint32_t session = fake_value(token);
    const auto user = users.find(session);
    return user != users.end() ? user->second : "S-1-5-21-" + std::to_string(session);
  }
  SystemResult<EnvironmentBlock> user_environment(const UserToken&) override {
    ++environments_built;
    if (environment_error) return fails_with(*environment_error);
    return environments_.open<EnvironmentBlock>(static_cast<std::uintptr_t>(environments_built));
  }
  SystemStatus start_as_user(const UserToken& token, const EnvironmentBlock&,
                             const UserProcessLaunch& launch) override {
    const std::uint32_t session = fake_value(token);
    if (const auto error = start_errors.find(session); error != start_errors.end()) {
      return fails_with(error->second);
    }
    starts.push_back({session, launch});
    if (events_ != nullptr) events_->push_back("start in session " + std::to_string(session));
    return {};
  }

 private:
  Events* events_;
  CountingCloser tokens_{live_tokens};
  CountingCloser environments_{live_environments};
};

// Ends the test's process the way the helper's would end: death tests
// expect exit code 1 and find the log's lines on standard error.
class DyingProcessExit : public ProcessExit {
 public:
  explicit DyingProcessExit(const RecordingLog& log) : log_(log) {}
  [[noreturn]] void exit_now(int code) override {
    for (const std::string& line : log_.lines()) std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    std::_Exit(code);
  }

 private:
  const RecordingLog& log_;
};

}  // namespace lumar::test
