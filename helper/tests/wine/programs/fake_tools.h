// Shared by the stand-ins for the system tools that Wine lacks or stubs
// (tasklist, taskkill /T, ipconfig /flushdns): each one appends the arguments
// it was given to the file named by LUMAR_FAKE_TOOLS_LOG, one line per run,
// "{tool}: {arg} | {arg} ...", and then answers as the real tool does.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <optional>
#include <string>
#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar::fake {

inline std::string utf8(const wchar_t* text) { return narrow_lossy(text); }

inline void record(const char* tool, int argc, wchar_t** argv) {
  wchar_t path[MAX_PATH];
  if (::GetEnvironmentVariableW(L"LUMAR_FAKE_TOOLS_LOG", path, MAX_PATH) == 0) return;
  std::string line = std::string(tool) + ":";
  for (int i = 1; i < argc; ++i) line += (i == 1 ? " " : " | ") + utf8(argv[i]);
  line += "\n";
  // Several tools may run one after the other; append-only keeps each line whole.
  const UniqueFile file(::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

struct ProcessEntry {
  DWORD pid;
  DWORD parent;
  std::string image;
};

inline std::vector<ProcessEntry> list_processes() {
  std::vector<ProcessEntry> out;
  const UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return out;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = ::Process32FirstW(snapshot.get(), &entry); ok;
       ok = ::Process32NextW(snapshot.get(), &entry)) {
    out.push_back({entry.th32ProcessID, entry.th32ParentProcessID, utf8(entry.szExeFile)});
  }
  return out;
}

inline std::optional<unsigned long long> parse_pid(const wchar_t* text) {
  if (text == nullptr || *text == 0) return std::nullopt;
  unsigned long long value = 0;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p < L'0' || *p > L'9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(*p - L'0');
  }
  return value;
}

// Exact bytes, as the real tools write them (no text-mode translation).
inline void print(DWORD which, const std::string& text) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written,
              nullptr);
}

}  // namespace lumar::fake
