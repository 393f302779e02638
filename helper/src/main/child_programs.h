// Starting the system's command-line tools as child processes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "main/expected.h"

namespace lumar {

struct CapturedRun {
  std::uint32_t exit_code = 0;
  // Standard output and standard error as one stream of bytes, in the order
  // the program wrote them.
  std::string output;
};

class ChildPrograms {
 public:
  virtual ~ChildPrograms() = default;

  // Starts `program` (a bare name such as "taskkill", found where the system
  // keeps its tools) with `args`, no creation flags and the helper's own
  // standard handles, and waits for it to end. The error, when it cannot be
  // started, is "{system message} (os error {code})".
  virtual Result<std::uint32_t> run(std::string_view program,
                                    const std::vector<std::string>& args) = 0;

  // The same, but with an empty standard input and standard output and
  // standard error captured together.
  virtual Result<CapturedRun> run_captured(std::string_view program,
                                           const std::vector<std::string>& args) = 0;
};

}  // namespace lumar
