// Starting a program that the helper neither waits for nor watches.
#pragma once

#include <memory>

#include "main/base/expected.h"
#include "main/base/text.h"

namespace lumar {

class ProgramStarter {
 public:
  virtual ~ProgramStarter() = default;
  // Starts `program` with standard input, output and error on the null
  // device. The error is the system's description, "{message} (os error
  // {code})".
  virtual Status start_detached(const OsString& program, const OsString& command_line) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<ProgramStarter> make_win32_program_starter();

}  // namespace lumar
