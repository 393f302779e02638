#include "main/base/text_win32.h"

#include "main/base/unique_any_win32.h"

namespace lumar {

std::wstring wide(std::string_view text) {
  const std::u16string units = to_wide(text);  // ends in one 0 unit
  return std::wstring(units.begin(), units.end() - 1);
}

std::optional<std::wstring> wide_path(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  return wide(text);
}

std::string narrow_lossy(std::wstring_view text) {
  return from_wide_lossy(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

OsString narrow_keep_surrogates(std::wstring_view text) {
  return from_wide_keep_surrogates(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

std::string os_error_text(std::uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string message;
  const UniqueLocal held(buffer);
  if (length > 0 && buffer != nullptr) {
    message = narrow_lossy(std::wstring_view(buffer, length));
    // The system ends its messages with a line break; the text keeps its period.
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
      message.pop_back();
    }
  } else {
    message = "Unknown error";
  }
  return message + " (os error " + std::to_string(code) + ")";
}

}  // namespace lumar
