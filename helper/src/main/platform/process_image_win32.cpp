#include "main/platform/process_image_win32.h"

#include <vector>

#include "main/base/text_win32.h"

namespace lumar {

std::optional<OsString> process_image_path(HANDLE process) {
  wchar_t buffer[1024];
  DWORD size = 1024;
  if (!::QueryFullProcessImageNameW(process, 0, buffer, &size)) return std::nullopt;
  return narrow_keep_surrogates(std::wstring_view(buffer, size));
}

Result<OsString> own_executable_path() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return fail(last_os_error_text());
    if (n < buffer.size()) return narrow_keep_surrogates(std::wstring_view(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace lumar
