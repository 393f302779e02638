// The machine's processes, as every part of the helper sees them: the
// process behind a request, the app's running copies, and the helper named
// in a leftover package. Everything done to a process goes through one
// owned handle.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/base/unique_any.h"

namespace lumar {

// An open handle to a process, owned: destroying it closes the handle. Only
// the adapter that opened it knows what it holds.
using ProcessHandle = UniqueOpaque<struct ProcessHandleTag>;

// What a handle is opened for; each asks for the least the work needs.
enum class ProcessAccess {
  kQuery,    // its path, session, times and whether it still runs
  kControl,  // all of that, and waiting for it and terminating it
};

// One entry of a process snapshot.
struct ProcessEntry {
  std::uint32_t pid = 0;
  OsString exe_name;  // the snapshot's executable name, unpaired surrogates kept
};

enum class ProcessWait { kEnded, kTimedOut };

// Whether a process has ended, as far as the system says.
enum class ProcessLife { kRunning, kEnded };

// Every failure carries the system's error code, taken right after the
// failing call.
class Processes {
 public:
  virtual ~Processes() = default;
  // Every process, in the order the system lists them.
  virtual SystemResult<std::vector<ProcessEntry>> snapshot() = 0;
  // Not inheritable.
  virtual SystemResult<ProcessHandle> open(std::uint32_t pid, ProcessAccess access) = 0;
  // The full Win32 image path, unpaired surrogates kept.
  virtual SystemResult<OsString> image_path(const ProcessHandle& process) = 0;
  // The Terminal Services session it runs in.
  virtual SystemResult<std::uint32_t> session_id(const ProcessHandle& process) = 0;
  // FILETIME ticks.
  virtual SystemResult<std::uint64_t> creation_time(const ProcessHandle& process) = 0;
  virtual SystemResult<ProcessLife> still_runs(const ProcessHandle& process) = 0;
  // kControl handles only.
  virtual SystemStatus terminate(const ProcessHandle& process, std::uint32_t exit_code) = 0;
  virtual SystemResult<ProcessWait> wait(const ProcessHandle& process,
                                         std::chrono::milliseconds limit) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<Processes> make_win32_processes();

}  // namespace lumar
