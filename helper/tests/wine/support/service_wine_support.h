// What the service tests under Wine share: looking at the LumarHelper service
// through the real service manager, copies of the helper, the service's log,
// and staged package files.
#pragma once

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "wine_harness.h"

namespace lumar::test {

using std::chrono_literals::operator""s;

struct ServiceSettings {
  std::wstring binary_path;
  std::wstring display_name;
  std::wstring description;
  DWORD service_type = 0;
  DWORD start_type = 0;
  DWORD error_control = 0;
};

// Nothing when there is no LumarHelper service.
std::optional<ServiceSettings> query_helper_service();
std::optional<SERVICE_STATUS_PROCESS> query_service_status();
bool wait_for_service_state(DWORD state, std::chrono::seconds limit = 40s);
bool set_helper_binary_path(const std::wstring& command_line);
// The stop control's result: 0, or the error ControlService gave.
DWORD send_stop_control();
// Stops the service and waits until it has stopped.
bool stop_helper_service();
bool wait_until_helper_service_gone(std::chrono::seconds limit = 40s);
// Stops and deletes the service if there is one; true once it is gone.
bool remove_helper_service();

// Copies the helper under test into `folder` (created) and returns its path.
std::wstring copy_helper(const std::wstring& folder);
// Runs `exe mode` with ProgramData pointed at `program_data`, so that its log
// is "{program_data}\Lumar\helper.log".
RunResult run_logged(const std::wstring& exe, const std::wstring& mode,
                     const std::wstring& program_data);

// A log's messages, without their time stamps.
std::vector<std::string> log_messages(const std::string& log_text);

// Under Wine a service sees ProgramData as C:\users\Public, so the service's
// log is there, whatever the tests' own ProgramData is.
std::wstring service_log_path();

// What a log gains from now on.
class LogTail {
 public:
  explicit LogTail(std::wstring path = service_log_path());
  std::vector<std::string> messages() const;
  // Waits until a message equal to `message` has been written.
  bool wait_for(const std::string& message, std::chrono::seconds limit = 40s) const;

 private:
  std::wstring path_;
  std::size_t start_;
};

// No process has this id under Wine, whose ids stay small.
inline constexpr DWORD kDeadPid = 999996;

// What helper `pid` stages a package as, one nanosecond past 1970.
std::wstring staged_name(DWORD pid);
// Matches every staged package and installer log in a folder.
std::wstring staged_files_pattern();

// A staged package file in `folder`, written `age` ago (a negative age lies
// in the future), holding a copy of `contents_from` or a few bytes; deleted
// when dropped.
class PlantedStagedFile {
 public:
  PlantedStagedFile(const std::wstring& folder, const std::wstring& name,
                    std::chrono::seconds age = 0s, const std::wstring& contents_from = L"");
  ~PlantedStagedFile();
  PlantedStagedFile(const PlantedStagedFile&) = delete;
  PlantedStagedFile& operator=(const PlantedStagedFile&) = delete;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace lumar::test
