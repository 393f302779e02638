#include "main/client_files.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

class Win32ClientFile final : public ClientFile {
 public:
  explicit Win32ClientFile(UniqueFile file) : file_(std::move(file)) {}

  bool on_disk() override { return ::GetFileType(file_.get()) == FILE_TYPE_DISK; }

  Result<std::uint64_t> size() override {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file_.get(), &size)) return fail(last_os_error_text());
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    const DWORD want =
        static_cast<DWORD>(std::min<std::size_t>(buffer.size(), std::size_t{1} << 30));
    DWORD got = 0;
    if (!::ReadFile(file_.get(), buffer.data(), want, &got, nullptr)) {
      return fail(last_os_error_text());
    }
    return std::size_t{got};
  }

 private:
  UniqueFile file_;
};

class Win32ClientFiles final : public ClientFiles {
 public:
  Result<std::unique_ptr<ClientFile>> open(std::string_view path) override {
    const std::optional<std::wstring> name = wide_path(path);
    if (!name) return fail(os_error_text(ERROR_INVALID_NAME));
    // Opening (not just asking for attributes) follows links and checks that
    // the impersonated user may really read the file. Should the name be a
    // pipe, its server learns no more of this thread than who it is.
    UniqueFile file(::CreateFileW(
        name->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!file) return fail(last_os_error_text());
    return std::unique_ptr<ClientFile>(std::make_unique<Win32ClientFile>(std::move(file)));
  }
};

}  // namespace

std::unique_ptr<ClientFiles> make_win32_client_files() {
  return std::make_unique<Win32ClientFiles>();
}

}  // namespace lumar
