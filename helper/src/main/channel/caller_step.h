// The caller step of "install_update": who is asking, and the package they
// name, read under their identity.
#pragma once

#include <chrono>
#include <string_view>

#include "main/base/bytes.h"
#include "main/base/expected.h"
#include "main/channel/caller_identity.h"
#include "main/channel/client_files.h"
#include "main/channel/incremental_hash.h"
#include "main/channel/package_read.h"
#include "main/channel/pipe.h"
#include "main/platform/clock.h"
#include "main/platform/process_exit.h"
#include "main/platform/processes.h"
#include "main/service/helper_log.h"

namespace lumar {

struct CallerPackage {
  OpenedCaller caller;
  Bytes contents;
};

// How long the whole caller step may take, the read of a 512 MiB package
// included, before it is given up: the server serves one client at a time,
// and a file on a slow device must not hold it for everyone else.
inline constexpr std::chrono::seconds kCallerStepDeadline{30};

class CallerStep {
 public:
  CallerStep(ClientFiles& files, Processes& processes, HelperLog& log, ProcessExit& exit,
             const Clock& clock)
      : files_(files), processes_(processes), log_(log), exit_(exit), clock_(clock) {}

  // `hash`, when given, sees the package's bytes as they are read. The
  // whole step is bounded by kCallerStepDeadline: "read {path}: timed out".
  Result<CallerPackage> run(PipeConnection& connection, std::string_view path,
                            IncrementalHash* hash = nullptr);

 private:
  ClientFiles& files_;
  Processes& processes_;
  HelperLog& log_;
  ProcessExit& exit_;
  const Clock& clock_;
};

}  // namespace lumar
