#include "main/platform/files.h"

#include <windows.h>

#include "main/base/text_win32.h"
#include "main/platform/process_image_win32.h"

namespace lumar {
namespace {

class Win32Files final : public Files {
 public:
  Result<OsString> own_executable_path() override { return lumar::own_executable_path(); }

  bool path_exists(const OsString& path) override {
    return ::GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  void delete_file(const OsString& path) override { ::DeleteFileW(wide(path).c_str()); }
};

}  // namespace

std::unique_ptr<Files> make_win32_files() { return std::make_unique<Win32Files>(); }

}  // namespace lumar
