#include "main/log_file.h"

#include <windows.h>

#include <string>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

class Win32LogFile final : public LogFile {
 public:
  void create_folders(std::string_view folder) override {
    const std::wstring path = wide(folder);
    // Asked for every line: once the folder is there, one look is all.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    // Create each missing ancestor in turn; failures are ignored because the
    // open that follows fails too when the folder really is missing.
    for (std::size_t i = 0; i <= path.size(); ++i) {
      if (i == path.size() || path[i] == L'\\' || path[i] == L'/') {
        if (i == 0 || (i == 2 && path[1] == L':')) continue;
        ::CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
      }
    }
  }

  void append(std::string_view path, std::string_view line) override {
    UniqueFile file(::CreateFileW(wide(path).c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    while (!line.empty()) {
      DWORD written = 0;
      if (!::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written,
                       nullptr) ||
          written == 0) {
        return;
      }
      line.remove_prefix(written);
    }
  }
};

}  // namespace

std::unique_ptr<LogFile> make_win32_log_file() { return std::make_unique<Win32LogFile>(); }

}  // namespace lumar
