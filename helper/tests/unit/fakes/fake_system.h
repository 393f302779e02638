// Fakes of the small system seams, shared by the unit tests.
#pragma once

#include <deque>
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

namespace lumar::test {

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
  explicit FakeImpersonation(bool* reverted, bool revert_ok)
      : reverted_(reverted), revert_ok_(revert_ok) {}
  bool revert() override {
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

// Files as the impersonated client sees them.
class FakeClientFiles : public ClientFiles {
 public:
  struct File {
    std::uint64_t size = 0;     // reported size (may exceed the contents)
    std::string contents;
    std::optional<std::string> read_error;
  };
  std::map<std::string, File, std::less<>> files;
  std::vector<std::string> reads;

  Result<std::uint64_t> file_size(std::string_view path) override {
    const auto it = files.find(path);
    if (it == files.end()) return fail("The system cannot find the file specified. (os error 2)");
    return it->second.size;
  }
  Result<Bytes> read_file(std::string_view path, std::uint64_t) override {
    reads.emplace_back(path);
    const File& file = files.find(path)->second;
    if (file.read_error) return fail(*file.read_error);
    return Bytes(file.contents.begin(), file.contents.end());
  }
};

struct ExitCalled {
  int code;
};

// Ends the "process" by throwing, so a test can see that it happened.
class FakeProcessExit : public ProcessExit {
 public:
  [[noreturn]] void exit_now(int code) override { throw ExitCalled{code}; }
};

}  // namespace lumar::test
