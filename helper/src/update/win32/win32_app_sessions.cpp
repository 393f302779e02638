#include "update/win32/win32_app_sessions.h"

#include <windows.h>

#include <userenv.h>
#include <wtsapi32.h>

#include "main/win32/win32_handle.h"
#include "main/win32/win32_process.h"
#include "main/win32/win32_text.h"

namespace lumar {
namespace {

inline void destroy_environment_block(void* block) { ::DestroyEnvironmentBlock(block); }
using UniqueEnvironmentBlock = UniqueValue<void*, destroy_environment_block, nullptr>;

class Win32UserToken final : public UserToken {
 public:
  explicit Win32UserToken(UniqueHandle token) : token_(std::move(token)) {}
  HANDLE get() const { return token_.get(); }

 private:
  UniqueHandle token_;
};

class Win32EnvironmentBlock final : public EnvironmentBlock {
 public:
  explicit Win32EnvironmentBlock(UniqueEnvironmentBlock block) : block_(std::move(block)) {}
  void* get() const { return block_.get(); }

 private:
  UniqueEnvironmentBlock block_;
};

static_assert(sizeof(STARTUPINFOW) == 104, "the startup record of 64-bit Windows");

class Win32SessionSystem final : public SessionSystem {
 public:
  SystemResult<std::unique_ptr<UserToken>> user_token(std::uint32_t session) override {
    UniqueHandle token;
    if (!::WTSQueryUserToken(session, token.put()))
      return Unexpected(std::uint32_t{::GetLastError()});
    return std::unique_ptr<UserToken>(std::make_unique<Win32UserToken>(std::move(token)));
  }

  SystemResult<std::unique_ptr<EnvironmentBlock>> user_environment(
      const UserToken& token) override {
    UniqueEnvironmentBlock block;
    if (!::CreateEnvironmentBlock(block.put(), static_cast<const Win32UserToken&>(token).get(),
                                  FALSE)) {
      return Unexpected(std::uint32_t{::GetLastError()});
    }
    return std::unique_ptr<EnvironmentBlock>(
        std::make_unique<Win32EnvironmentBlock>(std::move(block)));
  }

  SystemStatus start_as_user(const UserToken& token, const EnvironmentBlock& environment,
                             const UserProcessLaunch& launch) override {
    const std::wstring application = wide(launch.application);
    std::wstring command_line = wide(launch.command_line);  // the call may write into it
    const std::wstring directory =
        launch.current_directory ? wide(*launch.current_directory) : std::wstring();
    wchar_t desktop[] = L"winsta0\\default";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION started{};
    const BOOL ok = ::CreateProcessAsUserW(
        static_cast<const Win32UserToken&>(token).get(), application.c_str(), command_line.data(),
        nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
        static_cast<const Win32EnvironmentBlock&>(environment).get(),
        launch.current_directory ? directory.c_str() : nullptr, &startup, &started);
    const DWORD error = ::GetLastError();
    if (!ok) return Unexpected(std::uint32_t{error});
    // The app is on its own from here: the helper does not watch it.
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return {};
  }

  void terminate(const ProcessHandle& process, std::uint32_t exit_code) override {
    ::TerminateProcess(native_handle(process), exit_code);
  }

  WaitResult wait(const ProcessHandle& process, std::chrono::milliseconds limit) override {
    switch (::WaitForSingleObject(native_handle(process), static_cast<DWORD>(limit.count()))) {
      case WAIT_OBJECT_0:
        return WaitResult::kSignaled;
      case WAIT_TIMEOUT:
        return WaitResult::kTimedOut;
      default:
        return WaitResult::kFailed;
    }
  }
};

}  // namespace

std::unique_ptr<SessionSystem> make_win32_session_system() {
  return std::make_unique<Win32SessionSystem>();
}

}  // namespace lumar
