// What the full edition's Wine tests share: the prefix's system folder and
// hosts file, the temporary files a hosts-file replacement may leave, and
// the stand-ins for system tools that the tests put in place of the real
// ones.
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

// The tools the full edition's tests replace by stand-ins
// (programs/fake_{tool}.cpp) in the system folder. The original stays beside
// it as "{tool}.exe.lumar-original", and a "native" DLL override in the
// registry makes Wine load the stand-in instead of its own builtin.
inline constexpr const wchar_t* kStandInTools[] = {L"tasklist", L"taskkill", L"ipconfig"};
inline constexpr const wchar_t* kDllOverridesKey = L"Software\\Wine\\DllOverrides";

inline std::wstring system_tool_path(const std::wstring& tool) {
  return system_folder() + L"\\" + tool + L".exe";
}
inline std::wstring original_tool_path(const std::wstring& tool) {
  return system_tool_path(tool) + L".lumar-original";
}

// Puts every original tool back and removes the overrides, also after a run
// that died half-way.
inline void restore_system_tools() {
  for (const std::wstring tool : kStandInTools) {
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kDllOverridesKey, (tool + L".exe").c_str());
    const std::wstring original = original_tool_path(tool);
    if (::CopyFileW(original.c_str(), system_tool_path(tool).c_str(), FALSE)) {
      ::DeleteFileW(original.c_str());
    }
  }
}

}  // namespace lumar::test
