#include "update/acceptance/staging.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/base/windows_paths.h"
#include "update/acceptance/staging_win32.h"

namespace lumar {

namespace {

std::vector<std::uint8_t> read_own_account_sid() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<std::uint8_t> buffer(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return {};
  }
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  if (!::IsValidSid(sid)) return {};
  const auto* bytes = static_cast<const std::uint8_t*>(sid);
  return {bytes, bytes + ::GetLengthSid(sid)};
}

// Read once, when first needed: the helper's account does not change.
const std::vector<std::uint8_t>& own_account_sid() {
  static const std::vector<std::uint8_t> sid = read_own_account_sid();
  return sid;
}

class Win32StagingFolderFile final : public StagingFolderFile {
 public:
  explicit Win32StagingFolderFile(UniqueFile file) : file_(std::move(file)) {}

  Result<std::size_t> write(std::span<const std::uint8_t> bytes) override {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), kMaxChunk));
    DWORD written = 0;
    if (!::WriteFile(file_.get(), bytes.data(), chunk, &written, nullptr)) {
      return fail(last_os_error_text());
    }
    return std::size_t{written};
  }

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), kMaxChunk));
    DWORD got = 0;
    if (!::ReadFile(file_.get(), buffer.data(), chunk, &got, nullptr)) {
      return fail(last_os_error_text());
    }
    return std::size_t{got};
  }

 private:
  // Larger calls gain nothing and cost memory bandwidth under Wine.
  static constexpr std::size_t kMaxChunk = kStagingChunkBytes;
  UniqueFile file_;
};

using GetTempPath2WFunction = DWORD(WINAPI*)(DWORD, LPWSTR);

// GetTempPath2W gives a LocalSystem process the protected SystemTemp folder;
// older systems (and Wine) lack it, and then GetTempPathW serves.
GetTempPath2WFunction find_get_temp_path2() {
  HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<GetTempPath2WFunction>(
      reinterpret_cast<void*>(::GetProcAddress(kernel32, "GetTempPath2W")));
}

// The helper's private folder is used only if SYSTEM or Administrators own
// it and it is a folder in its own right: a user who made the name first, as
// a folder or a junction to one of their own, could otherwise change a
// package between its check and its installation.
Status check_private_folder(const OsString& path) {
  const UniqueFile folder(
      ::CreateFileW(wide(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) return fail(os_text_lossy(path) + ": " + last_os_error_text());
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(folder.get(), &information)) {
    return fail(os_text_lossy(path) + ": " + last_os_error_text());
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return fail(os_text_lossy(path) + " is not a folder of its own (a link, or a file)");
  }
  if (!owned_by_helper_side(folder.get())) {
    return fail(os_text_lossy(path) + " is not owned by SYSTEM or Administrators");
  }
  return {};
}

Status make_private_folder(const OsString& path) {
  // Full control for SYSTEM and Administrators, inherited by everything
  // inside, nothing inherited from the shared temporary folder above.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
    return fail(os_text_lossy(path) + ": " + last_os_error_text());
  }
  const UniqueLocal held(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  if (!::CreateDirectoryW(wide(path).c_str(), &attributes) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return fail(os_text_lossy(path) + ": " + last_os_error_text());
  }
  return check_private_folder(path);
}

class Win32StagingFolder final : public StagingFolder {
 public:
  Result<OsString> staging_folder() override {
    Result<OsString> temp = temp_folder();
    if (!temp.has_value()) return temp;
    OsString path = join_path(*temp, kPrivateStagingFolderName);
    if (Status made = make_private_folder(path); !made.has_value()) {
      return fail(std::move(made).error());
    }
    return path;
  }

  Result<OsString> temp_folder() override {
    static const GetTempPath2WFunction get_temp_path2 = find_get_temp_path2();
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (int attempt = 0; attempt < 3; ++attempt) {
      const DWORD size = static_cast<DWORD>(buffer.size());
      const DWORD length = get_temp_path2 != nullptr ? get_temp_path2(size, buffer.data())
                                                     : ::GetTempPathW(size, buffer.data());
      if (length == 0) return fail(last_os_error_text());
      if (length < size) return narrow_keep_surrogates(std::wstring_view(buffer.data(), length));
      buffer.resize(length + 1);  // the answer was the size needed, 0 included
    }
    return fail(os_error_text(ERROR_INSUFFICIENT_BUFFER));
  }

  std::uint32_t current_process_id() override { return ::GetCurrentProcessId(); }

  Result<std::unique_ptr<StagingFolderFile>> create_new(const OsString& path) override {
    // CREATE_NEW fails on any existing name, a dangling link included;
    // FILE_FLAG_OPEN_REPARSE_POINT makes sure no link is ever followed.
    UniqueFile file(::CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return fail(last_os_error_text());
    return std::unique_ptr<StagingFolderFile>(
        std::make_unique<Win32StagingFolderFile>(std::move(file)));
  }

  Result<std::unique_ptr<StagingFolderFile>> open_for_reading(const OsString& path) override {
    // A link put in the file's place between the write and this open is
    // opened as itself, so the comparison fails on it.
    UniqueFile file(::CreateFileW(
        wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return fail(last_os_error_text());
    return std::unique_ptr<StagingFolderFile>(
        std::make_unique<Win32StagingFolderFile>(std::move(file)));
  }

  void delete_file(const OsString& path) override { (void)::DeleteFileW(wide(path).c_str()); }
};

}  // namespace

bool owned_by_helper_side(HANDLE entry) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const UniqueLocal held(descriptor);
  if (owner == nullptr || !::IsValidSid(owner)) return false;
  if (::IsWellKnownSid(owner, WinLocalSystemSid) ||
      ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    return true;
  }
  const std::vector<std::uint8_t>& own_account = own_account_sid();
  return !own_account.empty() && ::EqualSid(owner, const_cast<std::uint8_t*>(own_account.data()));
}

std::unique_ptr<StagingFolder> make_win32_staging_folder() {
  return std::make_unique<Win32StagingFolder>();
}

}  // namespace lumar
