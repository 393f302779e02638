// Win32 ceremony shared by the adapters: wide strings and error texts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "main/base/text.h"

namespace lumar {

// NUL-terminated UTF-16 for the API, from UTF-8 (or WTF-8) text.
std::wstring wide(std::string_view text);
// The same for a path that came from outside: nothing when it holds U+0000,
// which the API would take as its end and so name another file.
std::optional<std::wstring> wide_path(std::string_view text);
std::string narrow_lossy(std::wstring_view text);
OsString narrow_keep_surrogates(std::wstring_view text);

// The system's description of an error: "{message} (os error {code})".
std::string os_error_text(std::uint32_t code);
inline std::string last_os_error_text() { return os_error_text(::GetLastError()); }

}  // namespace lumar
