// Fakes of the small system seams, shared by the unit tests.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "main/client_files.h"
#include "main/clock.h"
#include "main/environment.h"
#include "main/helper_log.h"
#include "main/log_file.h"
#include "main/pipe.h"
#include "main/process_exit.h"
#include "update/process_identity.h"

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

// The number a fake handle was opened with.
template <class Handle>
std::uint32_t fake_value(const Handle& handle) {
  return static_cast<std::uint32_t>(handle.get().value);
}

class FakeEnvironment : public Environment {
 public:
  std::map<std::string, std::string, std::less<>> values;
  std::optional<std::string> get(std::string_view name) const override {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};

// Time stands still unless a test or a sleep moves it.
class FakeClock : public Clock {
 public:
  LocalTime local{2024, 3, 5, 7, 8, 9};
  std::uint64_t filetime = 133000000000000000ULL;
  std::uint64_t unix_ns = 1700000000000000000ULL;
  mutable std::chrono::steady_clock::time_point now{};
  mutable std::vector<std::chrono::milliseconds> sleeps;

  LocalTime local_time() const override { return local; }
  std::uint64_t system_time_filetime() const override { return filetime; }
  std::uint64_t unix_time_nanoseconds() const override { return unix_ns; }
  std::chrono::steady_clock::time_point monotonic_now() const override { return now; }
  void sleep_for(std::chrono::milliseconds duration) const override {
    sleeps.push_back(duration);
    now += duration;
  }
};

class FakeLogFile : public LogFile {
 public:
  std::vector<std::string> folders_created;
  std::map<std::string, std::string> files;
  bool fail_open = false;
  void create_folders(std::string_view folder) override { folders_created.emplace_back(folder); }
  void append(std::string_view path, std::string_view line) override {
    if (!fail_open) files[std::string(path)] += line;
  }
};

// A log whose lines (without time stamps) tests can read back.
struct RecordingLog {
  FakeEnvironment environment;
  FakeClock clock;
  FakeLogFile file;
  HelperLog log{environment, clock, file};

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (const auto& [path, text] : file.files) {
      std::size_t start = 0;
      while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        out.push_back(text.substr(start + 20, end - start - 20));  // drop "YYYY-MM-DD HH:MM:SS "
        start = end + 1;
      }
    }
    return out;
  }
};

class FakeImpersonation : public Impersonation {
 public:
  FakeImpersonation(bool* reverted, bool revert_ok) : reverted_(reverted), revert_ok_(revert_ok) {}
  bool revert() noexcept override {
    *reverted_ = true;
    return revert_ok_;
  }

 private:
  bool* reverted_;
  bool revert_ok_;
};

// A client connection that delivers scripted chunks; an empty chunk stands
// for a read that ends (client closed, failure or deadline).
class FakePipeConnection : public PipeConnection {
 public:
  std::deque<std::string> chunks;
  std::vector<Deadline> read_deadlines;
  std::string sent;
  Deadline send_deadline{};
  std::optional<std::uint32_t> pid = 4242;
  bool can_impersonate = true;
  bool revert_ok = true;
  bool impersonating = false;
  bool reverted = false;
  int reads = 0;

  std::size_t read(std::span<std::uint8_t> buffer, Deadline deadline) override {
    ++reads;
    read_deadlines.push_back(deadline);
    if (chunks.empty()) return 0;
    std::string& next = chunks.front();
    const std::size_t n = std::min(next.size(), buffer.size());
    std::copy_n(next.begin(), n, buffer.begin());
    next.erase(0, n);
    if (next.empty()) chunks.pop_front();
    return n;
  }
  void send(std::string_view bytes, Deadline deadline) override {
    sent += bytes;
    send_deadline = deadline;
  }
  std::optional<std::uint32_t> client_process_id() override { return pid; }
  std::unique_ptr<Impersonation> impersonate() override {
    if (!can_impersonate) return nullptr;
    impersonating = true;
    return std::make_unique<FakeImpersonation>(&reverted, revert_ok);
  }
};

// Files as the impersonated client sees them. Each open handle reads the
// file's contents as they are at the moment of each read, so a test can let a
// file grow under an open handle.
class FakeClientFiles : public ClientFiles {
 public:
  struct File {
    std::string contents;
    std::optional<std::uint64_t> size;  // what the handle reports; contents.size() if unset
    bool on_disk = true;
    std::optional<std::string> read_error;
  };
  std::map<std::string, File, std::less<>> files;
  std::vector<std::string> opens;
  std::size_t bytes_read = 0;
  std::function<void()> on_read;  // runs before every read

  Result<std::unique_ptr<ClientFile>> open(std::string_view path) override {
    opens.emplace_back(path);
    const auto it = files.find(path);
    if (it == files.end()) return fail("The system cannot find the file specified. (os error 2)");
    return std::unique_ptr<ClientFile>(std::make_unique<Handle>(*this, it->second));
  }

 private:
  class Handle : public ClientFile {
   public:
    Handle(FakeClientFiles& owner, File& file) : owner_(owner), file_(file) {}
    bool on_disk() override { return file_.on_disk; }
    Result<std::uint64_t> size() override { return file_.size.value_or(file_.contents.size()); }
    Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
      if (owner_.on_read) owner_.on_read();
      if (file_.read_error) return fail(*file_.read_error);
      const std::size_t n =
          std::min(buffer.size(), file_.contents.size() - std::min(pos_, file_.contents.size()));
      std::copy_n(file_.contents.begin() + static_cast<std::ptrdiff_t>(pos_), n, buffer.begin());
      pos_ += n;
      owner_.bytes_read += n;
      return n;
    }

   private:
    FakeClientFiles& owner_;
    File& file_;
    std::size_t pos_ = 0;
  };
};

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

  Expected<ProcessHandle, std::uint32_t> open_process(std::uint32_t pid) override {
    opened.push_back(pid);
    if (!processes.count(pid)) return Unexpected<std::uint32_t>(87);
    return handles_.open<ProcessHandle>(pid);  // the handle's number is the pid
  }
  Expected<OsString, std::uint32_t> image_path(const ProcessHandle& process) override {
    if (path_failure) return Unexpected<std::uint32_t>(*path_failure);
    return OsString(processes.at(fake_value(process)).path);
  }
  Expected<std::uint32_t, std::uint32_t> session_id(const ProcessHandle& process) override {
    if (session_failure) return Unexpected<std::uint32_t>(*session_failure);
    return processes.at(fake_value(process)).session;
  }

 private:
  CountingCloser handles_{open_handles};
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
