// Ending the helper at once, for the one failure after which no request may
// be served: a thread that could not give back a client's identity.
#pragma once

#include <memory>
namespace lumar {

class ProcessExit {
 public:
  virtual ~ProcessExit() = default;
  [[noreturn]] virtual void exit_now(int code) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<ProcessExit> make_win32_process_exit();

}  // namespace lumar
