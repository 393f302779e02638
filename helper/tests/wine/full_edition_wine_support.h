// What the full edition's Wine tests share: the prefix's system folder and
// hosts file, and the temporary files a hosts-file replacement may leave.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "wine_harness.h"

namespace lumar::test {

inline std::wstring system_folder() {
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, n);
}

inline std::wstring prefix_hosts_path() { return system_folder() + L"\\drivers\\etc\\hosts"; }

// Our own temporary and backup files beside a replaced file.
inline std::vector<std::wstring> leftovers(const std::wstring& folder) {
  std::vector<std::wstring> out;
  for (const std::wstring& name : names_in(folder)) {
    if (name.find(L".lumar-") != std::wstring::npos) out.push_back(name);
  }
  return out;
}

}  // namespace lumar::test
