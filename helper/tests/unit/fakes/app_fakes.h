// A pretend machine for the app's copies, sessions and the installer: a
// process table the tests fill, sessions with or without a signed-in user,
// and one event list in which every visible effect is recorded in order.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_system.h"
#include "main/clock.h"
#include "main/environment.h"
#include "main/helper_log.h"
#include "main/log_file.h"
#include "main/service_control_state.h"
#include "update/app_processes.h"
#include "update/app_sessions.h"
#include "update/install_job.h"
#include "update/installer_worker.h"

namespace lumar::app_fakes {

using Events = std::vector<std::string>;

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

using test::CountingCloser;
using test::fake_value;

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

// Collects the log's messages without their time stamps.
class FakeLogFile final : public LogFile {
 public:
  explicit FakeLogFile(Events* events = nullptr) : events_(events) {}
  std::vector<std::string> messages;
  void create_folders(std::string_view) override {}
  void append(std::string_view, std::string_view line) override {
    // "{yyyy-mm-dd hh:mm:ss} {message}\n"
    std::string message(line.substr(20, line.size() - 21));
    if (events_ != nullptr) events_->push_back("log " + message);
    messages.push_back(std::move(message));
  }

 private:
  Events* events_;
};

class FakeClock final : public Clock {
 public:
  mutable std::uint64_t now = 1000;  // FILETIME ticks
  LocalTime local_time() const override { return {}; }
  std::uint64_t system_time_filetime() const override { return now; }
  std::uint64_t unix_time_nanoseconds() const override { return 0; }
  std::chrono::steady_clock::time_point monotonic_now() const override { return {}; }
  void sleep_for(std::chrono::milliseconds) const override {}
};

class FakeEnvironment final : public Environment {
 public:
  std::map<std::string, std::string, std::less<>> variables;
  std::optional<std::string> get(std::string_view name) const override {
    const auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  }
};

struct Run {
  OsString program;
  OsString command_line;
};

class FakeInstaller final : public InstallerSystem {
 public:
  explicit FakeInstaller(Events& events) : events_(events) {}
  Result<std::uint32_t> exit_code = std::uint32_t{0};
  std::function<void()> while_running;  // what happens on the machine meanwhile
  std::optional<OsString> own_path = OsString(R"(C:\Program Files\Lumar KQ\lumar-helper.exe)");
  Status detached_result;
  std::vector<Run> runs;
  std::vector<Run> detached;
  std::vector<OsString> deleted;

  Result<std::uint32_t> run_and_wait(const OsString& program, const OsString& line) override {
    runs.push_back({program, line});
    events_.push_back("run installer");
    if (while_running) while_running();
    return exit_code;
  }
  Status start_detached(const OsString& program, const OsString& line) override {
    detached.push_back({program, line});
    events_.push_back("hand over");
    return detached_result;
  }
  void delete_file(const OsString& path) override {
    deleted.push_back(path);
    events_.push_back("delete " + path);
  }
  std::optional<OsString> own_executable_path() override { return own_path; }

 private:
  Events& events_;
};

class FakeStagedPackage final : public StagedPackage {
 public:
  FakeStagedPackage(Events& events, OsString path) : events_(events), path_(std::move(path)) {}
  ~FakeStagedPackage() override { events_.push_back("drop package"); }
  const OsString& path() const override { return path_; }

 private:
  Events& events_;
  OsString path_;
};

class FakeStatusSink final : public ServiceStatusSink {
 public:
  explicit FakeStatusSink(Events& events) : events_(events) {}
  Status report(StatusReport report) override {
    events_.push_back(report == StatusReport::kRunning ? "report stop accepted" : "report other");
    return {};
  }

 private:
  Events& events_;
};

}  // namespace lumar::app_fakes
