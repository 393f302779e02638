// Starting the system's command-line tools as child processes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/expected.h"

namespace lumar {

struct CapturedRun {
  std::uint32_t exit_code = 0;
  // Standard output and standard error as one stream of bytes, in the order
  // the program wrote them.
  std::string output;
};

// Why run_captured has no output to show. The two differ for whoever relies
// on the output: a program that cannot be started is the system's state, but
// a capture that failed is the helper's own fault, and its caller must not
// carry on as if the program had said nothing.
struct CaptureError {
  enum class Kind {
    kNotStarted,     // the system could not start the program; nothing ran
    kCaptureFailed,  // the helper's own pipe, read or wait failed
  };
  Kind kind = Kind::kNotStarted;
  // "{system message} (os error {code})"
  std::string text;
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
  // standard error captured together, through a channel that only the helper
  // and the child hold.
  virtual Expected<CapturedRun, CaptureError> run_captured(
      std::string_view program, const std::vector<std::string>& args) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<ChildPrograms> make_win32_child_programs();

}  // namespace lumar
