#include "main/platform/process_exit.h"

#include <windows.h>

namespace lumar {
namespace {

class Win32ProcessExit final : public ProcessExit {
 public:
  [[noreturn]] void exit_now(int code) override { ::ExitProcess(static_cast<UINT>(code)); }
};

}  // namespace

std::unique_ptr<ProcessExit> make_win32_process_exit() {
  return std::make_unique<Win32ProcessExit>();
}

}  // namespace lumar
