// What the Windows-side benchmark programs share: starting a child whose
// standard handles go nowhere, and a ProgramData folder of their own for the
// helper's log.
#pragma once

#include <windows.h>

#include <string>

#include "main/base/unique_any_win32.h"

namespace lumar::bench {

// Standard handles on NUL: inheriting ours would keep the script's output
// pipe open for as long as the child lives.
inline UniqueHandle start_child(std::wstring command) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  UniqueFile null(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                nullptr));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = si.hStdOutput = si.hStdError = null.get();
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi)) {
    return UniqueHandle();
  }
  UniqueHandle thread(pi.hThread);
  return UniqueHandle(pi.hProcess);
}

inline void remove_program_data(const std::wstring& folder) {
  ::DeleteFileW((folder + L"\\Lumar\\helper.log").c_str());
  ::RemoveDirectoryW((folder + L"\\Lumar").c_str());
  ::RemoveDirectoryW(folder.c_str());
}

// A folder of our own in the temporary folder, so runs leave nothing in the
// prefix's ProgramData. Wine hands out the same process ids again on a new
// Wine machine: a folder of that name left by a run that was killed is
// removed first, so the log holds this run alone.
inline std::wstring make_program_data(const std::wstring& tag) {
  wchar_t temp[MAX_PATH + 1];
  ::GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring folder =
      std::wstring(temp) + L"lumar-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId());
  remove_program_data(folder);
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

}  // namespace lumar::bench
