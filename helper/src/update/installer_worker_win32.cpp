#include "update/installer_worker.h"

#include <windows.h>

#include <array>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/process_start_win32.h"

namespace lumar {
namespace {

Result<UniqueHandle> start_child(const OsString& program, const OsString& command_line,
                                 const std::array<HANDLE, 3>& standard) {
  return start_process_with_handles(wide(program), wide(command_line), standard);
}

class Win32InstallerSystem final : public InstallerSystem {
 public:
  Result<std::uint32_t> run_and_wait(const OsString& program,
                                     const OsString& command_line) override {
    Result<UniqueHandle> child =
        start_child(program, command_line,
                    {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                     ::GetStdHandle(STD_ERROR_HANDLE)});
    if (!child) return fail(child.error());
    // No limit: an installation takes as long as it takes, and stopping it
    // half-way would be worse than waiting.
    if (::WaitForSingleObject(child->get(), INFINITE) == WAIT_FAILED) {
      return fail(last_os_error_text());
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(child->get(), &code)) return fail(last_os_error_text());
    return std::uint32_t{code};
  }

  Status start_detached(const OsString& program, const OsString& command_line) override {
    const UniqueFile null_device(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    if (!null_device) return fail(last_os_error_text());
    const HANDLE nul = null_device.get();
    Result<UniqueHandle> child = start_child(program, command_line, {nul, nul, nul});
    if (!child) return fail(child.error());
    return {};
  }

  void delete_file(const OsString& path) override { ::DeleteFileW(wide(path).c_str()); }

  std::optional<OsString> own_executable_path() override { return lumar::own_executable_path(); }
};

}  // namespace

std::unique_ptr<InstallerSystem> make_win32_installer_system() {
  return std::make_unique<Win32InstallerSystem>();
}

}  // namespace lumar
