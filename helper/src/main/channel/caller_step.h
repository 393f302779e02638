// The caller step of "install_update": who is asking, and the package they
// name, read under their identity.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "main/base/bytes.h"
#include "main/base/expected.h"
#include "main/channel/client_files.h"
#include "main/channel/package_watcher.h"
#include "main/channel/pipe.h"
#include "main/channel/update_acceptor.h"
#include "main/platform/clock.h"
#include "main/platform/process_exit.h"
#include "main/platform/processes.h"
#include "main/service/helper_log.h"

namespace lumar {

// Packages above this size are refused without being read.
inline constexpr std::uint64_t kMaxPackageSize = 536870912;  // 512 MiB

struct CallerPackage {
  OpenedCaller caller;
  Bytes contents;
};

// How long the whole caller step may take, the read of a 512 MiB package
// included, before it is given up: the server serves one client at a time,
// and a file on a slow device must not hold it for everyone else.
inline constexpr std::chrono::seconds kCallerStepDeadline{30};

// Why a package read failed: the size bound, a file that is not on disk, the
// deadline, or the system's description of an error.
enum class PackageReadFault { kSystem, kNotOnDisk, kTooLarge, kTimedOut };
struct PackageReadError {
  PackageReadFault fault = PackageReadFault::kSystem;
  std::string system_error;  // for kSystem
};

// How much of the client's file is read at a time.
inline constexpr std::size_t kPackageReadChunkBytes = std::size_t{8} << 20;

// Reads `path` through one open handle: its kind and size are taken from
// that handle and at most `limit` + 1 bytes are read through it, so a file
// that grows while it is read is still caught as too large. Each piece read
// is shown to `watcher`, if there is one; it is told when they are lost.
// With a deadline, the read is given up once `clock` has passed it (looked
// at before each piece).
struct ReadDeadline {
  const Clock& clock;
  std::chrono::steady_clock::time_point at;
  bool passed() const { return clock.monotonic_now() >= at; }
};
Expected<Bytes, PackageReadError> read_package(ClientFiles& files, std::string_view path,
                                               std::uint64_t limit,
                                               PackageWatcher* watcher = nullptr,
                                               const ReadDeadline* deadline = nullptr);

// True for a full path on a drive letter ("C:\..." or "C:/..."). A package
// is read only from there: a UNC path can name a host that never answers, a
// device path a device that never ends, and a relative one means nothing to
// the client. The product only ever names a file it downloaded to a local
// folder, so nothing is lost.
bool is_drive_letter_path(std::string_view path);

// Borrows the client's identity for one scope and gives it back when the
// scope ends, however it ends, an exception included. It is taken in the
// constructor, so there is no moment at which the thread holds it bare. A
// thread that cannot give it back must serve nobody else: the guard logs
// "install_update: RevertToSelf failed; exiting" and ends the process with
// exit code 1.
class ImpersonationGuard {
 public:
  ImpersonationGuard(PipeConnection& connection, HelperLog& log, ProcessExit& exit)
      : borrowed_(connection.impersonate()), log_(log), exit_(exit) {}
  ImpersonationGuard(const ImpersonationGuard&) = delete;
  ImpersonationGuard& operator=(const ImpersonationGuard&) = delete;
  ~ImpersonationGuard();

  // False when the client could not be impersonated: the thread is itself.
  bool held() const { return borrowed_ != nullptr; }

 private:
  std::unique_ptr<Impersonation> borrowed_;
  HelperLog& log_;
  ProcessExit& exit_;
};

class CallerStep {
 public:
  CallerStep(ClientFiles& files, Processes& processes, HelperLog& log, ProcessExit& exit,
             const Clock& clock)
      : files_(files), processes_(processes), log_(log), exit_(exit), clock_(clock) {}

  // `watcher`, when given, sees the package's bytes as they are read. The
  // whole step is bounded by kCallerStepDeadline: "read {path}: timed out".
  Result<CallerPackage> run(PipeConnection& connection, std::string_view path,
                            PackageWatcher* watcher = nullptr);

 private:
  ClientFiles& files_;
  Processes& processes_;
  HelperLog& log_;
  ProcessExit& exit_;
  const Clock& clock_;
};

}  // namespace lumar
