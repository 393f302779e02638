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
// and every reply one line:
//   reply<TAB>{pid}<TAB>{reply line}
// The helper restarts the app with its quoted path alone, which is the first
// form: the restarted copy records its start and waits to be killed (there
// is no stop file; tests and the helper end it by termination).
// Exit codes: 0 accepted, 1 refused, 2 usage, 3 the pipe or a file failed.

#include <windows.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/base/windows_paths.h"
#include "main/product.h"

namespace {

using namespace lumar;

constexpr std::string_view kRecordName = "lumar-desktop-starts.txt";
constexpr auto kConnectLimit = std::chrono::seconds(30);

std::string record_path() {
  const Result<OsString> exe = own_executable_path();
  if (!exe) return std::string(kRecordName);
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

std::string base64(const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                            (std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                            static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(n >> shift) & 63];
  }
  if (i < bytes.size()) {
    std::uint32_t n = std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (i + 1 < bytes.size()) n |= std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
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

// The server serves one client at a time: while it is busy the pipe answers
// 231, and between two instances it may not exist at all (2). Wine's
// WaitNamedPipeW can fail with 676 just before the instance is free, so the
// open is simply tried again until the deadline.
UniqueFile connect_to_helper() {
  const std::wstring name = wide(kPipeName);
  const auto deadline = std::chrono::steady_clock::now() + kConnectLimit;
  for (;;) {
    UniqueFile pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    const DWORD error = ::GetLastError();
    if (std::chrono::steady_clock::now() >= deadline) return pipe;
    if (error == ERROR_PIPE_BUSY) {
      ::WaitNamedPipeW(name.c_str(), 1000);
    } else if (error == ERROR_FILE_NOT_FOUND) {
      ::Sleep(50);
    } else {
      return pipe;
    }
  }
}

// Sends one request line and reads one reply line; nothing on failure.
std::optional<std::string> ask(const std::string& request) {
  const UniqueFile pipe = connect_to_helper();
  if (!pipe) return std::nullopt;
  const std::string line = request + "\n";
  DWORD written = 0;
  if (!::WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
      written != line.size()) {
    return std::nullopt;
  }
  std::string reply;
  char c = 0;
  DWORD got = 0;
  while (::ReadFile(pipe.get(), &c, 1, &got, nullptr) && got == 1 && c != '\n') reply += c;
  return reply;
}

int send(const nlohmann::json& request) {
  const std::optional<std::string> reply = ask(request.dump());
  if (!reply) return 3;
  record("reply\t" + std::to_string(::GetCurrentProcessId()) + "\t" + *reply);
  const std::string shown = *reply + "\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), shown.data(), static_cast<DWORD>(shown.size()),
              &written, nullptr);
  return *reply == R"({"ok":true})" ? 0 : 1;
}

int request_update(const wchar_t* package, const wchar_t* signature_file) {
  std::vector<wchar_t> full(32768);
  const DWORD n =
      ::GetFullPathNameW(package, static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return 3;
  std::string signature;
  if (!read_file(signature_file, signature)) return 3;
  return send({{"op", "install_update"},
               {"path", narrow_lossy(std::wstring_view(full.data(), n))},
               {"signature", base64(signature)}});
}

[[noreturn]] void stay_until_killed() {
  for (;;) ::Sleep(INFINITE);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  record_start();
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (argc == 1) stay_until_killed();
  if (mode == L"ping" && argc == 2) return send({{"op", "ping"}});
  if (mode == L"update" && argc == 4) return request_update(argv[2], argv[3]);
  if (mode == L"update-stay" && argc == 4) {
    request_update(argv[2], argv[3]);
    stay_until_killed();
  }
  return 2;
}
