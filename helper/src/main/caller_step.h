// The caller step of "install_update": who is asking, and the package they
// name, read under their identity.
#pragma once

#include <cstdint>
#include <string_view>

#include "main/bytes.h"
#include "main/client_files.h"
#include "main/expected.h"
#include "main/helper_log.h"
#include "main/pipe.h"
#include "main/process_exit.h"

namespace lumar {

// Packages above this size are refused without being read.
inline constexpr std::uint64_t kMaxPackageSize = 536870912;  // 512 MiB

struct CallerPackage {
  std::uint32_t pid = 0;
  Bytes contents;
};

class CallerStep {
 public:
  CallerStep(ClientFiles& files, HelperLog& log, ProcessExit& exit)
      : files_(files), log_(log), exit_(exit) {}

  Result<CallerPackage> run(PipeConnection& connection, std::string_view path);

 private:
  ClientFiles& files_;
  HelperLog& log_;
  ProcessExit& exit_;
};

}  // namespace lumar
