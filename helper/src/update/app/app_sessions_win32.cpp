#include "update/app/app_sessions.h"

#include <windows.h>

#include <sddl.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

static_assert(sizeof(STARTUPINFOW) == 104, "the startup record of 64-bit Windows");

class Win32SessionSystem final : public SessionSystem {
 public:
  std::optional<std::uint32_t> console_session() override {
    const DWORD session = ::WTSGetActiveConsoleSessionId();
    // The answer when no session is attached to the console.
    if (session == 0xFFFFFFFF) return std::nullopt;
    return std::uint32_t{session};
  }

  SystemResult<UserToken> user_token(std::uint32_t session) override {
    UniqueToken token;
    if (!::WTSQueryUserToken(session, token.put()))
      return Unexpected(std::uint32_t{::GetLastError()});
    return to_opaque<UserToken>(std::move(token));
  }

  SystemResult<std::string> token_user(const UserToken& token) override {
    const HANDLE handle = native<UniqueToken>(token);
    DWORD size = 0;
    (void)::GetTokenInformation(handle, TokenUser, nullptr, 0, &size);
    if (size == 0) return Unexpected(std::uint32_t{::GetLastError()});
    std::vector<std::uint8_t> buffer(size);
    if (!::GetTokenInformation(handle, TokenUser, buffer.data(), size, &size)) {
      return Unexpected(std::uint32_t{::GetLastError()});
    }
    LPWSTR text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid,
                                  &text)) {
      return Unexpected(std::uint32_t{::GetLastError()});
    }
    const UniqueLocal held(text);
    return narrow_lossy(text);
  }

  SystemResult<EnvironmentBlock> user_environment(const UserToken& token) override {
    UniqueEnvironmentBlock block;
    if (!::CreateEnvironmentBlock(block.put(), native<UniqueToken>(token), FALSE)) {
      return Unexpected(std::uint32_t{::GetLastError()});
    }
    return to_opaque<EnvironmentBlock>(std::move(block));
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
        native<UniqueToken>(token), application.c_str(), command_line.data(), nullptr, nullptr,
        FALSE, CREATE_UNICODE_ENVIRONMENT, native<UniqueEnvironmentBlock>(environment),
        launch.current_directory ? directory.c_str() : nullptr, &startup, &started);
    const DWORD error = ::GetLastError();
    if (!ok) return Unexpected(std::uint32_t{error});
    // The app is on its own from here: the helper does not watch it.
    const UniqueHandle thread(started.hThread);
    const UniqueProcess process(started.hProcess);
    return {};
  }
};

}  // namespace

std::unique_ptr<SessionSystem> make_win32_session_system() {
  return std::make_unique<Win32SessionSystem>();
}

}  // namespace lumar
