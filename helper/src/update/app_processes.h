// The running copies of the desktop application: every process whose image
// is exactly a given executable file, each with an open handle, its creation
// time and its session.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "main/base/text.h"
#include "update/request_caller.h"

namespace lumar {

// One running copy. It carries no process id on purpose: ids are reused, so
// everything done to a copy later goes through the handle.
struct AppInstance {
  ProcessHandle process;      // opened with kAppProcessAccess
  std::uint64_t created = 0;  // FILETIME ticks, as GetProcessTimes reports
  std::uint32_t session_id = 0;
};

// One entry of a process snapshot.
struct ProcessEntry {
  std::uint32_t pid = 0;
  OsString exe_name;  // the snapshot's executable name, unpaired surrogates kept
};

// What finding the copies needs from the operating system.
class ProcessSystem {
 public:
  virtual ~ProcessSystem() = default;
  // Every process, in the order the system lists them; nothing when the
  // snapshot cannot be taken.
  virtual std::optional<std::vector<ProcessEntry>> snapshot() = 0;
  // The process opened with kAppProcessAccess; nothing when it cannot be.
  virtual ProcessHandle open(std::uint32_t pid) = 0;
  // The full Win32 image path (1024-unit buffer), unpaired surrogates kept.
  virtual std::optional<OsString> image_path(const ProcessHandle& process) = 0;
  virtual std::optional<std::uint32_t> session_of(std::uint32_t pid) = 0;
  virtual std::optional<std::uint64_t> creation_time(const ProcessHandle& process) = 0;
};

// The copies running exactly `executable_path`, in snapshot order. Never
// fails: every problem leaves a process out, and every handle opened for a
// process that is left out is closed again.
std::vector<AppInstance> find_app_instances(ProcessSystem& system,
                                            std::string_view executable_path);

// The Windows implementation, built only for Windows.
std::unique_ptr<ProcessSystem> make_win32_process_system();

}  // namespace lumar
