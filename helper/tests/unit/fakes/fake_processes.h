// Processes as the helper sees them: the caller's process by id (the caller
// step's view), and a pretend machine for the app's copies and sessions, with
// a process table the tests fill, sessions with or without a signed-in user,
// and one event list in which every visible effect is recorded in order.
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
#include "main/process_exit.h"
#include "update/app_processes.h"
#include "update/app_sessions.h"
#include "update/process_identity.h"

namespace lumar::test {

// Processes by id; handles count themselves so tests can see that none is
// left open.
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

// The number a fake handle was opened with.
template <class Handle>
std::uint32_t fake_value(const Handle& handle) {
  return static_cast<std::uint32_t>(handle.get().value);
}

class FakeProcesses final : public ProcessQueries {
 public:
  struct Entry {
    std::string path;
    std::uint32_t session = 1;
  };
  std::map<std::uint32_t, Entry> processes;
  std::optional<std::uint32_t> path_failure, session_failure;
  std::vector<std::uint32_t> opened;
  int open_handles = 0;

  SystemResult<ProcessHandle> open_process(std::uint32_t pid) override {
    opened.push_back(pid);
    if (!processes.count(pid)) return Unexpected<std::uint32_t>(87);
    return handles_.open<ProcessHandle>(pid);  // the handle's number is the pid
  }
  SystemResult<OsString> image_path(const ProcessHandle& process) override {
    if (path_failure) return Unexpected<std::uint32_t>(*path_failure);
    return OsString(processes.at(fake_value(process)).path);
  }
  SystemResult<std::uint32_t> session_id(const ProcessHandle& process) override {
    if (session_failure) return Unexpected<std::uint32_t>(*session_failure);
    return processes.at(fake_value(process)).session;
  }

 private:
  CountingCloser handles_{open_handles};
};

// One process of the pretend machine.
struct FakeProcess {
  std::uint32_t pid = 0;
  OsString exe_name;
  std::optional<OsString> image;  // nothing: the path query fails
  std::optional<std::uint32_t> session = 1;
  std::optional<std::uint64_t> created = 100;
  bool openable = true;
  bool running = true;
  // Ends by itself as soon as anyone waits for it (an app that quits after
  // its update was accepted).
  bool quits_when_waited_for = false;
  bool survives_termination = false;
};

struct Start {
  std::uint32_t session = 0;
  UserProcessLaunch launch;
};

// Processes and sessions together, so that a terminated copy is gone from
// the next snapshot as it would be on a real machine.
class FakeMachine final : public ProcessSystem, public SessionSystem {
 public:
  explicit FakeMachine(Events& events) : events_(events) {}

  std::vector<FakeProcess> processes;
  bool snapshot_fails = false;
  int snapshots = 0;
  std::vector<std::uint32_t> opened;  // pids, in order
  int open_handles = 0;
  std::function<void(std::uint32_t pid)> on_close;  // runs last, after the close is counted

  std::set<std::uint32_t> signed_in = {1, 2};
  std::uint32_t token_error = 1008;  // ERROR_NO_TOKEN
  std::optional<std::uint32_t> environment_error;
  std::map<std::uint32_t, std::uint32_t> start_errors;  // by session
  int live_tokens = 0;
  int live_environments = 0;
  int environments_built = 0;
  std::vector<Start> starts;
  std::vector<std::pair<std::uint32_t, std::chrono::milliseconds>> waits;  // pid, limit

  FakeProcess& add(FakeProcess process) { return processes.emplace_back(std::move(process)); }
  FakeProcess* find(std::uint32_t pid) {
    for (FakeProcess& p : processes) {
      if (p.pid == pid) return &p;
    }
    return nullptr;
  }
  ProcessHandle handle_to(std::uint32_t pid) { return process_handles_.open<ProcessHandle>(pid); }

  std::optional<std::vector<ProcessEntry>> snapshot() override {
    ++snapshots;
    if (snapshot_fails) return std::nullopt;
    std::vector<ProcessEntry> entries;
    for (const FakeProcess& p : processes) {
      if (p.running) entries.push_back({p.pid, p.exe_name});
    }
    return entries;
  }
  ProcessHandle open(std::uint32_t pid) override {
    opened.push_back(pid);
    const FakeProcess* p = find(pid);
    if (p == nullptr || !p->openable) return {};
    return handle_to(pid);
  }
  std::optional<OsString> image_path(const ProcessHandle& process) override {
    return find(fake_value(process))->image;
  }
  std::optional<std::uint32_t> session_of(std::uint32_t pid) override { return find(pid)->session; }
  std::optional<std::uint64_t> creation_time(const ProcessHandle& process) override {
    return find(fake_value(process))->created;
  }

  SystemResult<UserToken> user_token(std::uint32_t session) override {
    if (!signed_in.contains(session)) return Unexpected(token_error);
    return tokens_.open<UserToken>(session);
  }
  SystemResult<EnvironmentBlock> user_environment(const UserToken&) override {
    ++environments_built;
    if (environment_error) return Unexpected(*environment_error);
    return environments_.open<EnvironmentBlock>(static_cast<std::uintptr_t>(environments_built));
  }
  SystemStatus start_as_user(const UserToken& token, const EnvironmentBlock&,
                             const UserProcessLaunch& launch) override {
    const std::uint32_t session = fake_value(token);
    if (const auto error = start_errors.find(session); error != start_errors.end()) {
      return Unexpected(error->second);
    }
    starts.push_back({session, launch});
    events_.push_back("start in session " + std::to_string(session));
    return {};
  }
  void terminate(const ProcessHandle& process, std::uint32_t exit_code) override {
    const std::uint32_t pid = fake_value(process);
    events_.push_back("terminate " + std::to_string(pid) + " with " + std::to_string(exit_code));
    FakeProcess* p = find(pid);
    if (!p->survives_termination) p->running = false;
  }
  WaitResult wait(const ProcessHandle& process, std::chrono::milliseconds limit) override {
    FakeProcess* p = find(fake_value(process));
    waits.emplace_back(p->pid, limit);
    if (p->quits_when_waited_for) p->running = false;
    return p->running ? WaitResult::kTimedOut : WaitResult::kSignaled;
  }

 private:
  Events& events_;
  CountingCloser process_handles_{open_handles, [this](std::uintptr_t value) {
                                    const auto pid = static_cast<std::uint32_t>(value);
                                    events_.push_back("close handle " + std::to_string(pid));
                                    if (on_close) on_close(pid);
                                  }};
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
