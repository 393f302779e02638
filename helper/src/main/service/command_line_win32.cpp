#include "main/service/command_line.h"

#include <windows.h>

namespace lumar {
namespace {

class Win32Console final : public Console {
 public:
  void out(std::string_view text) override { write(STD_OUTPUT_HANDLE, text); }
  void err(std::string_view text) override { write(STD_ERROR_HANDLE, text); }

 private:
  static void write(DWORD which, std::string_view text) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
};

}  // namespace

std::unique_ptr<Console> make_win32_console() { return std::make_unique<Win32Console>(); }

}  // namespace lumar
