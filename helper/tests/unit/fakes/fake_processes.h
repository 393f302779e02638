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

  class Handle final : public ProcessHandle {
   public:
    Handle(int& count, std::uint32_t id) : pid(id), count_(count) { ++count_; }
    ~Handle() override { --count_; }
    const std::uint32_t pid;

   private:
    int& count_;
  };

  Expected<std::unique_ptr<ProcessHandle>, std::uint32_t> open_process(std::uint32_t pid) override {
    opened.push_back(pid);
    if (!processes.count(pid)) return Unexpected<std::uint32_t>(87);
    return std::unique_ptr<ProcessHandle>(std::make_unique<Handle>(open_handles, pid));
  }
  Expected<OsString, std::uint32_t> image_path(const ProcessHandle& process) override {
    if (path_failure) return Unexpected<std::uint32_t>(*path_failure);
    return OsString(processes.at(static_cast<const Handle&>(process).pid).path);
  }
  Expected<std::uint32_t, std::uint32_t> session_id(const ProcessHandle& process) override {
    if (session_failure) return Unexpected<std::uint32_t>(*session_failure);
    return processes.at(static_cast<const Handle&>(process).pid).session;
  }
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

class FakeMachine;

class FakeHandle final : public ProcessHandle {
 public:
  FakeHandle(FakeMachine& machine, std::uint32_t pid);
  ~FakeHandle() override;
  std::uint32_t pid() const { return pid_; }
  std::function<void()> on_close;  // runs last, after the close is counted

 private:
  FakeMachine& machine_;
  std::uint32_t pid_;
};

class FakeToken final : public UserToken {
 public:
  FakeToken(int& live, std::uint32_t session) : live_(live), session(session) { ++live_; }
  ~FakeToken() override { --live_; }
  int& live_;
  std::uint32_t session;
};

class FakeEnvironmentBlock final : public EnvironmentBlock {
 public:
  explicit FakeEnvironmentBlock(int& live) : live_(live) { ++live_; }
  ~FakeEnvironmentBlock() override { --live_; }
  int& live_;
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
  std::unique_ptr<FakeHandle> handle_to(std::uint32_t pid) {
    ++open_handles;
    return std::make_unique<FakeHandle>(*this, pid);
  }
  void handle_closed(std::uint32_t pid) {
    --open_handles;
    events_.push_back("close handle " + std::to_string(pid));
  }

  std::optional<std::vector<ProcessEntry>> snapshot() override {
    ++snapshots;
    if (snapshot_fails) return std::nullopt;
    std::vector<ProcessEntry> entries;
    for (const FakeProcess& p : processes) {
      if (p.running) entries.push_back({p.pid, p.exe_name});
    }
    return entries;
  }
  std::unique_ptr<ProcessHandle> open(std::uint32_t pid) override {
    opened.push_back(pid);
    const FakeProcess* p = find(pid);
    if (p == nullptr || !p->openable) return nullptr;
    return handle_to(pid);
  }
  std::optional<OsString> image_path(const ProcessHandle& process) override {
    return find(pid_of(process))->image;
  }
  std::optional<std::uint32_t> session_of(std::uint32_t pid) override { return find(pid)->session; }
  std::optional<std::uint64_t> creation_time(const ProcessHandle& process) override {
    return find(pid_of(process))->created;
  }

  SystemResult<std::unique_ptr<UserToken>> user_token(std::uint32_t session) override {
    if (!signed_in.contains(session)) return Unexpected(token_error);
    return std::unique_ptr<UserToken>(std::make_unique<FakeToken>(live_tokens, session));
  }
  SystemResult<std::unique_ptr<EnvironmentBlock>> user_environment(const UserToken&) override {
    ++environments_built;
    if (environment_error) return Unexpected(*environment_error);
    return std::unique_ptr<EnvironmentBlock>(
        std::make_unique<FakeEnvironmentBlock>(live_environments));
  }
  SystemStatus start_as_user(const UserToken& token, const EnvironmentBlock&,
                             const UserProcessLaunch& launch) override {
    const std::uint32_t session = static_cast<const FakeToken&>(token).session;
    if (const auto error = start_errors.find(session); error != start_errors.end()) {
      return Unexpected(error->second);
    }
    starts.push_back({session, launch});
    events_.push_back("start in session " + std::to_string(session));
    return {};
  }
  void terminate(const ProcessHandle& process, std::uint32_t exit_code) override {
    const std::uint32_t pid = pid_of(process);
    events_.push_back("terminate " + std::to_string(pid) + " with " + std::to_string(exit_code));
    FakeProcess* p = find(pid);
    if (!p->survives_termination) p->running = false;
  }
  WaitResult wait(const ProcessHandle& process, std::chrono::milliseconds limit) override {
    FakeProcess* p = find(pid_of(process));
    waits.emplace_back(p->pid, limit);
    if (p->quits_when_waited_for) p->running = false;
    return p->running ? WaitResult::kTimedOut : WaitResult::kSignaled;
  }

 private:
  static std::uint32_t pid_of(const ProcessHandle& process) {
    return static_cast<const FakeHandle&>(process).pid();
  }
  Events& events_;
};

inline FakeHandle::FakeHandle(FakeMachine& machine, std::uint32_t pid)
    : machine_(machine), pid_(pid) {}
inline FakeHandle::~FakeHandle() {
  machine_.handle_closed(pid_);
  if (on_close) on_close();
}

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
