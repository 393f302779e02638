#include "main/platform/log_file.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

// SYSTEM and Administrators full control, Users read; protected, so nothing
// of the parent's access list (which lets users add files) is inherited.
constexpr wchar_t kLogFolderSecurity[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)";

// The account the helper's process runs as, from its own token (not a
// thread's borrowed one); empty when it cannot be read.
std::vector<unsigned char> process_user_sid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const UniqueToken token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return {};
  }
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  const DWORD length = ::GetLengthSid(sid);
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return {bytes, bytes + length};
}

// The path as the system would resolve it, without following links: full,
// with long names where the entry exists.
std::wstring full_long_path(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got =
        ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (got == 0) return path;
    if (got < full.size()) {
      full.resize(got);
      break;
    }
    full.resize(got);
  }
  std::wstring long_path(full.size() + 1, L'\0');
  for (;;) {
    const DWORD got =
        ::GetLongPathNameW(full.c_str(), long_path.data(), static_cast<DWORD>(long_path.size()));
    if (got == 0) return full;
    if (got < long_path.size()) {
      long_path.resize(got);
      return long_path;
    }
    long_path.resize(got);
  }
}

// Where the handle really leads, as a plain DOS path.
std::wstring final_path(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got =
        ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (got == 0) return {};
    if (got < path.size()) {
      path.resize(got);
      break;
    }
    path.resize(got);
  }
  constexpr std::wstring_view kUnc = LR"(\\?\UNC\)";
  constexpr std::wstring_view kLocal = LR"(\\?\)";
  if (path.starts_with(kUnc)) return LR"(\\)" + path.substr(kUnc.size());
  if (path.starts_with(kLocal)) return path.substr(kLocal.size());
  return path;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

class Win32LogEntry final : public OpenLogEntry {
 public:
  Win32LogEntry(UniqueFile handle, std::wstring path, const std::vector<unsigned char>& own_user)
      : handle_(std::move(handle)), path_(std::move(path)), own_user_(own_user) {}

  std::optional<LogEntryFacts> facts() override {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle_.get(), &info)) return std::nullopt;
    LogEntryFacts facts;
    facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.reparse_point = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.links = info.nNumberOfLinks;
    facts.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    // Wine follows a link even when asked not to, and then reports no
    // reparse point: where the handle leads tells.
    facts.reached_elsewhere = !same_path(final_path(handle_.get()), full_long_path(path_));
    facts.trusted_owner = trusted_owner();
    return facts;
  }

  bool append(std::string_view text) override {
    while (!text.empty()) {
      DWORD written = 0;
      if (!::WriteFile(handle_.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
          written == 0) {
        return false;
      }
      text.remove_prefix(written);
    }
    return true;
  }

  bool rename_replacing(std::string_view new_path) override {
    // The append handle asks for no delete access, so that a reader who
    // shares only reading and writing does not keep lines out. The rename
    // takes a handle of its own, to the same file.
    UniqueFile renaming(::CreateFileW(path_.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    BY_HANDLE_FILE_INFORMATION held{}, reopened{};
    if (!renaming || !::GetFileInformationByHandle(handle_.get(), &held) ||
        !::GetFileInformationByHandle(renaming.get(), &reopened) ||
        held.dwVolumeSerialNumber != reopened.dwVolumeSerialNumber ||
        held.nFileIndexHigh != reopened.nFileIndexHigh ||
        held.nFileIndexLow != reopened.nFileIndexLow) {
      return false;
    }
    const std::wstring target = wide(new_path);
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::copy(target.begin(), target.end(), rename->FileName);
    return ::SetFileInformationByHandle(renaming.get(), FileRenameInfo, buffer.data(),
                                        static_cast<DWORD>(buffer.size())) != FALSE;
  }

 private:
  bool trusted_owner() const {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(handle_.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                          nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
      return false;
    }
    const UniqueLocal held(descriptor);
    if (owner == nullptr || !::IsValidSid(owner)) return false;
    return ::IsWellKnownSid(owner, WinLocalSystemSid) ||
           ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
           (!own_user_.empty() && ::EqualSid(owner, const_cast<unsigned char*>(own_user_.data())));
  }

  UniqueFile handle_;
  std::wstring path_;
  const std::vector<unsigned char>& own_user_;
};

// Creates the missing parents plainly, then the folder itself with the
// log's protected access list. Failures are ignored: the open that follows
// fails too when the folder really is missing.
void create_log_folder(const std::wstring& path) {
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] != L'\\' && path[i] != L'/') continue;
    if (i == 2 && path[1] == L':') continue;
    ::CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLogFolderSecurity, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return;  // never created without its protection
  }
  const UniqueLocal held(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  ::CreateDirectoryW(path.c_str(), &attributes);
}

class Win32LogFile final : public LogFile {
 public:
  std::unique_ptr<OpenLogEntry> open_folder(std::string_view folder) override {
    const std::wstring path = wide(folder);
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) create_log_folder(path);
    // Without delete sharing: nobody can rename or remove the folder while
    // this handle is held.
    return open(path, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  }

  std::unique_ptr<OpenLogEntry> open_file(std::string_view path) override {
    return open(wide(path), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL,
                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS,
                FILE_ATTRIBUTE_NORMAL);
  }

 private:
  std::unique_ptr<OpenLogEntry> open(std::wstring path, DWORD access, DWORD share,
                                     DWORD disposition, DWORD flags) {
    UniqueFile handle(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                    flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return nullptr;
    return std::make_unique<Win32LogEntry>(std::move(handle), std::move(path), own_user_);
  }

  // Read once: the process's account does not change.
  const std::vector<unsigned char> own_user_ = process_user_sid();
};

}  // namespace

std::unique_ptr<LogFile> make_win32_log_file() { return std::make_unique<Win32LogFile>(); }

}  // namespace lumar
