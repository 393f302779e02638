#include "main/host_actions/hosts_file.h"

#include <windows.h>

#include <atomic>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

// A name beside `path` that nothing else uses: same folder, so that the
// final rename stays on one volume.
std::wstring sibling_name(const std::wstring& path, std::wstring_view kind) {
  static std::atomic<unsigned> counter{0};
  return path + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(counter.fetch_add(1)) + L".lumar-" + std::wstring(kind);
}

Status write_all(HANDLE file, std::string_view content) {
  while (!content.empty()) {
    const DWORD chunk =
        content.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(content.size());
    DWORD written = 0;
    if (!::WriteFile(file, content.data(), chunk, &written, nullptr)) {
      return fail(last_os_error_text());
    }
    content.remove_prefix(written);
  }
  if (!::FlushFileBuffers(file)) return fail(last_os_error_text());
  return {};
}

// Writes the whole content to a new file beside `path`; the file is deleted
// again on any failure.
Result<std::wstring> write_temporary(const std::wstring& path, std::string_view content) {
  for (int attempt = 0;; ++attempt) {
    std::wstring temporary = sibling_name(path, L"new");
    UniqueFile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_EXISTS && attempt < 100) continue;
      return fail(os_error_text(error));
    }
    Status written = write_all(file.get(), content);
    file.reset();
    if (!written.has_value()) {
      ::DeleteFileW(temporary.c_str());
      return fail(written.error());
    }
    return temporary;
  }
}

class Win32HostsFile final : public HostsFile {
 public:
  Result<std::optional<std::string>> read(const std::string& path) override {
    UniqueFile file(::CreateFileW(wide(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        return std::optional<std::string>();
      }
      return fail(os_error_text(error));
    }
    std::string content;
    char buffer[65536];
    for (;;) {
      DWORD n = 0;
      if (!::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
        return fail(last_os_error_text());
      }
      if (n == 0) break;
      content.append(buffer, n);
    }
    return std::optional<std::string>(std::move(content));
  }

  Status replace(const std::string& path, std::string_view content) override {
    const std::wstring target = wide(path);
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        return fail(os_error_text(error));
      }
    } else if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
      // What opening it for writing would say. Checked here because a
      // replace by rename does not always honour the attribute.
      return fail(os_error_text(ERROR_ACCESS_DENIED));
    }

    Result<std::wstring> temporary = write_temporary(target, content);
    if (!temporary.has_value()) return fail(temporary.error());

    if (exists) {
      // ReplaceFileW keeps the old file's attributes and security. With a
      // backup name every failure leaves a state that can be undone: either
      // nothing moved, or the old file sits under the backup name.
      const std::wstring backup = sibling_name(target, L"old");
      if (::ReplaceFileW(target.c_str(), temporary->c_str(), backup.c_str(),
                         REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                         nullptr)) {
        ::DeleteFileW(backup.c_str());
        return {};
      }
      const DWORD error = ::GetLastError();
      if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        ::MoveFileExW(backup.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
      }
      if (error != ERROR_FILE_NOT_FOUND ||
          ::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ::DeleteFileW(temporary->c_str());
        return fail(os_error_text(error));
      }
      // The old file went away meanwhile: put the new one in its place.
    }
    if (!::MoveFileExW(temporary->c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      const DWORD error = ::GetLastError();
      ::DeleteFileW(temporary->c_str());
      return fail(os_error_text(error));
    }
    return {};
  }
};

}  // namespace

std::unique_ptr<HostsFile> make_win32_hosts_file() { return std::make_unique<Win32HostsFile>(); }

}  // namespace lumar
