// Windows-side helpers for the tests that run the real executables under
// Wine: start a program with extra environment variables, capture its output,
// read its exit code with GetExitCodeProcess (wine's own exit status keeps
// only the low 8 bits), and run a foreground helper for a suite.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "main/base/filetime_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar::test {

// Build-tree paths (Wine's Z: drive).
std::wstring bin_dir();
std::wstring source_dir();
std::wstring helper_exe();
std::wstring client_exe();
std::wstring program_exe(const std::wstring& name);  // helper/tests/wine/programs/<name>.cpp

// The Wine user's temp folder, with its trailing backslash.
std::wstring temp_path();
// The folder under temp_path() that holds this run's scratch folders. Its
// name, "lumar-test-{start time}-{random}", is one no earlier run can have
// used: Wine hands out the same process ids again on every fresh machine,
// and the prefix outlives the run.
std::wstring scratch_root();
// A new, empty folder of this run under scratch_root(), never one that
// existed before.
std::wstring make_temp_folder(const std::wstring& tag);
// The names in `folder` that match `pattern`, "." and ".." left out.
std::vector<std::wstring> names_in(const std::wstring& folder, const std::wstring& pattern = L"*");
// Deletes a file or a folder with all it holds; true when it is gone.
bool remove_tree(const std::wstring& path);
std::string read_file(const std::wstring& path);
void write_file(const std::wstring& path, const std::string& bytes);
bool file_exists(const std::wstring& path);
std::wstring quote(const std::wstring& argument);

// Asks `done` every 100 ms until it holds (true) or `limit` has passed
// (false); it is always asked at least once.
template <class Predicate>
bool wait_until(std::chrono::milliseconds limit, Predicate&& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The system clock in FILETIME ticks, as the helper's adapters report times.
inline std::uint64_t system_time_now() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return filetime_ticks(now);
}

struct RunResult {
  DWORD exit_code = 0;
  std::string out;
  std::string err;
};

// A started program, ended (terminated if still running) when dropped.
class Child {
 public:
  Child(const std::wstring& command_line, const std::map<std::wstring, std::wstring>& environment,
        bool capture_output);
  Child(Child&&) = default;
  ~Child();

  bool started() const { return process_.valid(); }
  DWORD pid() const { return pid_; }
  HANDLE handle() const { return process_.get(); }
  // Waits for the end and collects output; nothing on time-out.
  std::optional<RunResult> wait(std::chrono::milliseconds limit);
  bool running() const;
  void terminate();

 private:
  UniqueHandle process_;
  DWORD pid_ = 0;
  std::wstring out_path_, err_path_;
};

// Runs a program to its end (30 s at most).
RunResult run(const std::wstring& command_line,
              const std::map<std::wstring, std::wstring>& environment = {});

// A foreground helper (`lumar-helper.exe run`) with "ProgramData" pointed at
// a folder of its own. Under Wine the service dispatcher only gives up after
// about ten seconds, so the constructor waits until the pipe answers.
class ForegroundHelper {
 public:
  explicit ForegroundHelper(const std::wstring& exe = helper_exe(),
                            std::map<std::wstring, std::wstring> environment = {});
  ~ForegroundHelper();
  bool serving() const { return serving_; }
  const std::wstring& program_data() const { return program_data_; }
  std::wstring log_path() const { return program_data_ + L"\\Lumar\\helper.log"; }
  std::string log() const { return read_file(log_path()); }
  Child& process() { return *child_; }

 private:
  std::wstring program_data_;
  std::optional<Child> child_;
  bool serving_ = false;
};

// A suite of tests against one foreground helper, started before its first
// test and ended after its last.
class ForegroundHelperSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { helper_.emplace(); }
  static void TearDownTestSuite() { helper_.reset(); }
  void SetUp() override { ASSERT_TRUE(helper_->serving()) << "the helper never answered ping"; }

  static inline std::optional<ForegroundHelper> helper_;
};

// The replies to a request line, as the helper writes them (without the
// line feed): text in a JSON string has its backslashes, quotes and NULs
// escaped.
inline constexpr char kOkReply[] = R"({"ok":true})";
std::string json_escaped(std::string_view text);
std::string refusal_reply(std::string_view error);

// Sends raw bytes over the pipe and returns what came back (up to the first
// line feed or the server's close). Retries the connect while busy.
std::optional<std::string> exchange(
    const std::string& request,
    std::chrono::milliseconds connect_deadline = std::chrono::seconds(40));

// A raw pipe client connection, for clients that misbehave on purpose;
// `extra_access` (READ_CONTROL, say) is asked for beside read and write.
UniqueFile connect_pipe(std::chrono::milliseconds deadline = std::chrono::seconds(40),
                        DWORD extra_access = 0);
std::string read_reply(HANDLE pipe);

}  // namespace lumar::test
