// A stand-in for the desktop application, for tests: a client of the helper's
// pipe that the helper can close and start again.
//
//   lumar-desktop.exe                            stays up until it is killed
//   lumar-desktop.exe ping                       asks "ping", then quits
//   lumar-desktop.exe update <package> <sig>     asks for the update, then quits
//   lumar-desktop.exe update-stay <package> <sig> asks for it and stays up
//
// Every start appends one line to "lumar-desktop-starts.txt" beside the exe:
//   start<TAB>{pid}<TAB>{session}<TAB>{current folder}<TAB>{ProgramData}<TAB>{command line}
// every answer from the helper one line, written back as the reply line it
// came from:
//   reply<TAB>{pid}<TAB>{reply line}
// and every request that the library refused to send one line:
//   unsent<TAB>{pid}<TAB>{reason}
// The helper restarts the app with its quoted path alone, which is the first
// form: the restarted copy records its start and waits to be killed (there
// is no stop file; tests and the helper end it by termination).
// It talks to the helper through the application's library, as the product
// does. Exit codes: 0 accepted, 1 refused, 2 usage, 3 nothing sent or a file
// failed.

#include <windows.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumar_app_client.h"
#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/base/windows_paths.h"
#include "main/platform/process_image_win32.h"

namespace {

using namespace lumar;

constexpr std::string_view kRecordName = "lumar-desktop-starts.txt";
constexpr auto kConnectLimit = std::chrono::seconds(30);

std::string record_path() {
  const Result<OsString> exe = own_executable_path();
  if (!exe.has_value()) return std::string(kRecordName);
  const std::optional<std::string_view> folder = parent_folder(*exe);
  return folder ? std::string(*folder) + "\\" + std::string(kRecordName) : std::string(kRecordName);
}

void record(const std::string& line) {
  const UniqueFile file(::CreateFileW(wide(record_path()).c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string current_folder() {
  std::vector<wchar_t> buffer(32768);
  const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  return narrow_lossy(std::wstring_view(buffer.data(), n));
}

std::string variable(const wchar_t* name) {
  std::vector<wchar_t> buffer(32768);
  const DWORD n = ::GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
  return narrow_lossy(std::wstring_view(buffer.data(), n < buffer.size() ? n : 0));
}

void record_start() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  record("start\t" + std::to_string(::GetCurrentProcessId()) + "\t" + std::to_string(session) +
         "\t" + current_folder() + "\t" + variable(L"ProgramData") + "\t" +
         narrow_lossy(::GetCommandLineW()));
}

bool read_file(const std::wstring& path, std::string& contents) {
  const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    contents.append(buffer, got);
  }
  return true;
}

// The helper in the foreground is no service: the tests that run one set
// LUMAR_DESKTOP_ALLOW_FOREGROUND=1 for the copies that talk to it.
app::Options helper_options() {
  app::Options options;
  options.connect_retry = kConnectLimit;
  options.allow_foreground = variable(L"LUMAR_DESKTOP_ALLOW_FOREGROUND") == "1";
  return options;
}

// Records and prints the answer, as the reply line it came from when the
// request was sent; refusals of the library itself as "unsent".
int show(const app::Answer& answer) {
  const std::string pid = std::to_string(::GetCurrentProcessId());
  if (!answer.sent) {
    record("unsent\t" + pid + "\t" + answer.error);
    return 3;
  }
  // In the helper's own member order.
  const nlohmann::ordered_json reply =
      answer.ok ? nlohmann::ordered_json{{"ok", true}}
                : nlohmann::ordered_json{{"ok", false}, {"error", answer.error}};
  record("reply\t" + pid + "\t" + reply.dump());
  const std::string shown = reply.dump() + "\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), shown.data(), static_cast<DWORD>(shown.size()),
              &written, nullptr);
  return answer.ok ? 0 : 1;
}

int request_update(const wchar_t* package, const wchar_t* signature_file) {
  std::vector<wchar_t> full(32768);
  const DWORD n =
      ::GetFullPathNameW(package, static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return 3;
  std::string signature;
  if (!read_file(signature_file, signature)) return 3;
  return show(app::request_update(narrow_lossy(std::wstring_view(full.data(), n)), signature,
                                  helper_options()));
}

[[noreturn]] void stay_until_killed() {
  for (;;) ::Sleep(INFINITE);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  record_start();
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (argc == 1) stay_until_killed();
  if (mode == L"ping" && argc == 2) return show(app::ping(helper_options()));
  if (mode == L"update" && argc == 4) return request_update(argv[2], argv[3]);
  if (mode == L"update-stay" && argc == 4) {
    request_update(argv[2], argv[3]);
    stay_until_killed();
  }
  return 2;
}
