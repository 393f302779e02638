// What the Windows-side benchmark programs share: starting a child whose
// standard handles go nowhere, the median of a run's rounds, and a
// ProgramData folder of their own for the helper's log.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "main/base/unique_any_win32.h"
#include "main/platform/process_start_win32.h"

namespace lumar::bench {

// Standard handles on NUL: inheriting ours would keep the script's output
// pipe open for as long as the child lives.
inline UniqueHandle start_child(std::wstring command) {
  const Result<UniqueFile> null = open_null_device();
  if (!null) return UniqueHandle();
  Result<UniqueHandle> child =
      start_process_with_handles(L"", std::move(command), {null->get(), null->get(), null->get()});
  return child ? std::move(*child) : UniqueHandle();
}

// Ends a child the bench started (an empty handle is nothing to end) and
// waits up to 10 s for it to be gone.
inline void end_child(const UniqueHandle& child) {
  if (!child) return;
  ::TerminateProcess(child.get(), 0);
  ::WaitForSingleObject(child.get(), 10000);
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
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
