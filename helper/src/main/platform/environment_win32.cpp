#include "main/platform/environment.h"

#include <windows.h>

#include <string>
#include <vector>

#include "main/base/text_win32.h"

namespace lumar {
namespace {

bool is_valid_utf16(std::wstring_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

class Win32Environment final : public Environment {
 public:
  std::optional<std::string> get(std::string_view name) const override {
    const std::wstring key = wide(name);
    std::vector<wchar_t> buffer(256);
    for (;;) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD n =
          ::GetEnvironmentVariableW(key.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) {
        if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();  // set, but empty
      }
      if (n < buffer.size()) {
        const std::wstring_view value(buffer.data(), n);
        if (!is_valid_utf16(value)) return std::nullopt;
        return narrow_lossy(value);
      }
      buffer.resize(n);
    }
  }
};

}  // namespace

std::unique_ptr<Environment> make_win32_environment() {
  return std::make_unique<Win32Environment>();
}

}  // namespace lumar
