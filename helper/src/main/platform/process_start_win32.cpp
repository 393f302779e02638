#include "main/platform/process_start_win32.h"

#include <vector>

#include "main/base/text_win32.h"
#include "main/platform/process_start.h"

namespace lumar {

std::array<HANDLE, 3> own_standard_handles() {
  return {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
          ::GetStdHandle(STD_ERROR_HANDLE)};
}

Result<UniqueFile> open_null_device() {
  UniqueFile null_device(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr));
  if (!null_device) return fail(last_os_error_text());
  return null_device;
}

Result<std::uint32_t> wait_for_exit(HANDLE process) {
  if (::WaitForSingleObject(process, INFINITE) == WAIT_FAILED) return fail(last_os_error_text());
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return fail(last_os_error_text());
  return std::uint32_t{code};
}

Result<UniqueHandle> start_process_with_handles(const std::wstring& application,
                                                std::wstring command_line,
                                                const std::array<HANDLE, 3>& standard) {
  auto started = start_process_with_handles_by_step(application, std::move(command_line), standard);
  if (!started.has_value()) return fail(std::move(started).error().text);
  return std::move(*started);
}

Expected<UniqueHandle, StartFailure> start_process_with_handles_by_step(
    const std::wstring& application, std::wstring command_line,
    const std::array<HANDLE, 3>& standard) {
  auto failed = [](StartFailure::Step step) {
    return Unexpected(StartFailure{step, last_os_error_text()});
  };
  std::array<UniqueHandle, 3> copies;
  std::vector<HANDLE> inherited;
  for (std::size_t i = 0; i < standard.size(); ++i) {
    const HANDLE source = standard[i];
    if (source == nullptr || source == INVALID_HANDLE_VALUE) continue;
    if (!::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), copies[i].put(), 0,
                           TRUE, DUPLICATE_SAME_ACCESS)) {
      return failed(StartFailure::Step::kPrepare);
    }
    inherited.push_back(copies[i].get());
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  std::vector<unsigned char> list_memory;
  UniqueAttributeList list;
  DWORD flags = 0;
  if (!inherited.empty()) {
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = copies[0].get();
    startup.StartupInfo.hStdOutput = copies[1].get();
    startup.StartupInfo.hStdError = copies[2].get();
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    list_memory.resize(size);
    auto* memory = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    if (!::InitializeProcThreadAttributeList(memory, 1, 0, &size)) {
      return failed(StartFailure::Step::kPrepare);
    }
    list.reset(memory);
    if (!::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                     inherited.data(), inherited.size() * sizeof(HANDLE), nullptr,
                                     nullptr)) {
      return failed(StartFailure::Step::kPrepare);
    }
    startup.lpAttributeList = list.get();
    flags = EXTENDED_STARTUPINFO_PRESENT;  // only says the structure is the extended one
  }

  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(application.empty() ? nullptr : application.c_str(), command_line.data(),
                        nullptr, nullptr, inherited.empty() ? FALSE : TRUE, flags, nullptr, nullptr,
                        &startup.StartupInfo, &started)) {
    return failed(StartFailure::Step::kCreate);
  }
  const UniqueHandle thread(started.hThread);
  return UniqueHandle(started.hProcess);
}

namespace {

class Win32ProgramStarter final : public ProgramStarter {
 public:
  Status start_detached(const OsString& program, const OsString& command_line) override {
    const Result<UniqueFile> null_device = open_null_device();
    if (!null_device.has_value()) return fail(null_device.error());
    const HANDLE nul = null_device->get();
    Result<UniqueHandle> child =
        start_process_with_handles(wide(program), wide(command_line), {nul, nul, nul});
    if (!child.has_value()) return fail(child.error());
    return {};
  }
};

}  // namespace

std::unique_ptr<ProgramStarter> make_win32_program_starter() {
  return std::make_unique<Win32ProgramStarter>();
}

}  // namespace lumar
