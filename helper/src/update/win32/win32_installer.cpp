#include "update/win32/win32_installer.h"

#include <windows.h>

#include <array>
#include <vector>

#include "main/win32/win32_handle.h"
#include "main/win32/win32_text.h"
#include "update/win32/win32_app_processes.h"
#include "update/win32/win32_app_sessions.h"

namespace lumar {
namespace {

inline void delete_attribute_list(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  ::DeleteProcThreadAttributeList(list);
}
using UniqueAttributeList =
    UniqueValue<LPPROC_THREAD_ATTRIBUTE_LIST, delete_attribute_list, nullptr>;

// Starts a child with exactly these three standard handles and no other
// inherited handle: the handles are duplicated as inheritable and named in
// the attribute list, so that nothing another thread made inheritable at the
// same moment leaks into the child.
Result<UniqueHandle> start_child(const OsString& program, const OsString& command_line,
                                 const std::array<HANDLE, 3>& standard) {
  std::array<UniqueHandle, 3> copies;
  std::vector<HANDLE> inherited;
  for (std::size_t i = 0; i < standard.size(); ++i) {
    const HANDLE source = standard[i];
    if (source == nullptr || source == INVALID_HANDLE_VALUE) continue;
    if (!::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), copies[i].put(), 0,
                           TRUE, DUPLICATE_SAME_ACCESS)) {
      return fail(last_os_error_text());
    }
    inherited.push_back(copies[i].get());
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = copies[0].get();
  startup.StartupInfo.hStdOutput = copies[1].get();
  startup.StartupInfo.hStdError = copies[2].get();

  std::vector<unsigned char> list_memory;
  UniqueAttributeList list;
  DWORD flags = 0;
  if (!inherited.empty()) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    list_memory.resize(size);
    auto* memory = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    if (!::InitializeProcThreadAttributeList(memory, 1, 0, &size)) {
      return fail(last_os_error_text());
    }
    list.reset(memory);
    if (!::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                     inherited.data(), inherited.size() * sizeof(HANDLE), nullptr,
                                     nullptr)) {
      return fail(last_os_error_text());
    }
    startup.lpAttributeList = list.get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }

  const std::wstring application = wide(program);
  std::wstring line = wide(command_line);  // the call may write into it
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr,
                        inherited.empty() ? FALSE : TRUE, flags, nullptr, nullptr,
                        &startup.StartupInfo, &started)) {
    return fail(last_os_error_text());
  }
  ::CloseHandle(started.hThread);
  return UniqueHandle(started.hProcess);
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

// Everything the worker threads use that the factory creates; shared with
// every thread so that none outlives it.
struct Win32WorkerParts {
  std::unique_ptr<ProcessSystem> processes = make_win32_process_system();
  std::unique_ptr<SessionSystem> sessions = make_win32_session_system();
  std::unique_ptr<InstallerSystem> installer = make_win32_installer_system();
  DetachedThreadLauncher launcher;
};

}  // namespace

std::unique_ptr<InstallerSystem> make_win32_installer_system() {
  return std::make_unique<Win32InstallerSystem>();
}

std::unique_ptr<InstallWorker> make_win32_install_worker(ServiceControlState& control,
                                                         HelperLog& log, const Clock& clock,
                                                         const Environment& environment) {
  auto parts = std::make_shared<Win32WorkerParts>();
  const InstallerContext context{*parts->processes, *parts->sessions, *parts->installer, log, clock,
                                 environment,       control};
  return std::make_unique<ThreadedInstallWorker>(context, parts->launcher, parts);
}

}  // namespace lumar
