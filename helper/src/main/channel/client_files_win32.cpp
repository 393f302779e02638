#include "main/channel/client_files.h"

#include <windows.h>

#include <winternl.h>

#include <algorithm>
#include <optional>
#include <string>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"

namespace lumar {
namespace {

// NtCreateFile's options that CreateFileW does not offer.
constexpr ULONG kFileOpen = 0x00000001;
constexpr ULONG kFileSequentialOnly = 0x00000004;
constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr ULONG kFileCompleteIfOplocked = 0x00000100;

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using DosPathToNtPathFunction = NTSTATUS(NTAPI*)(PCWSTR, PUNICODE_STRING, PWSTR*, PVOID);
using FreeUnicodeStringFunction = VOID(NTAPI*)(PUNICODE_STRING);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);

struct NtFileCalls {
  NtCreateFileFunction create = nullptr;
  DosPathToNtPathFunction to_nt_path = nullptr;
  FreeUnicodeStringFunction free_string = nullptr;
  StatusToErrorFunction to_error = nullptr;
  bool complete() const { return create && to_nt_path && free_string && to_error; }
};

template <class Function>
Function find_in(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const NtFileCalls& nt_file_calls() {
  static const NtFileCalls calls = [] {
    NtFileCalls found;
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) return found;
    found.create = find_in<NtCreateFileFunction>(ntdll, "NtCreateFile");
    found.to_nt_path =
        find_in<DosPathToNtPathFunction>(ntdll, "RtlDosPathNameToNtPathName_U_WithStatus");
    found.free_string = find_in<FreeUnicodeStringFunction>(ntdll, "RtlFreeUnicodeString");
    found.to_error = find_in<StatusToErrorFunction>(ntdll, "RtlNtStatusToDosError");
    return found;
  }();
  return calls;
}

// Opens for reading with every sharing, following links, so that the
// impersonated user's right to read is what decides. An oplock that another
// process (the client itself, say) holds on the file makes an ordinary open
// wait until the holder lets go, which could be never: this open completes at
// once and leaves the break to run on its own. Should the name be a pipe, its
// server learns no more of this thread than who it is.
Status open_without_oplock_wait(const std::wstring& path, UniqueFile& file) {
  const NtFileCalls& nt = nt_file_calls();
  if (!nt.complete()) return fail(os_error_text(ERROR_PROC_NOT_FOUND));
  UNICODE_STRING nt_path{};
  NTSTATUS status = nt.to_nt_path(path.c_str(), &nt_path, nullptr, nullptr);
  if (!NT_SUCCESS(status)) return fail(os_error_text(nt.to_error(status)));
  SECURITY_QUALITY_OF_SERVICE quality{sizeof quality, SecurityIdentification,
                                      SECURITY_STATIC_TRACKING, FALSE};
  OBJECT_ATTRIBUTES attributes{};
  InitializeObjectAttributes(&attributes, &nt_path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  attributes.SecurityQualityOfService = &quality;
  IO_STATUS_BLOCK io{};
  HANDLE opened = nullptr;
  status = nt.create(&opened, FILE_GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kFileOpen,
                     kFileNonDirectoryFile | kFileSynchronousIoNonalert | kFileSequentialOnly |
                         kFileCompleteIfOplocked,
                     nullptr, 0);
  nt.free_string(&nt_path);
  // STATUS_OPLOCK_BREAK_IN_PROGRESS is a success: the handle is good.
  if (!NT_SUCCESS(status)) return fail(os_error_text(nt.to_error(status)));
  file = UniqueFile(opened);
  return {};
}

// True when the drive holding `path` is a network drive: its open alone could
// wait on a host that does not answer.
bool on_network_drive(const std::wstring& path) {
  const std::wstring root = path.substr(0, 3);  // "C:\", checked by the caller step
  return ::GetDriveTypeW(root.c_str()) == DRIVE_REMOTE;
}

class Win32ClientFile final : public ClientFile {
 public:
  explicit Win32ClientFile(UniqueFile file) : file_(std::move(file)) {}

  // A disk file that is not on another machine: a redirected drive opened
  // through a link is caught here, by the handle.
  bool on_disk() override {
    if (!file_ || ::GetFileType(file_.get()) != FILE_TYPE_DISK) return false;
    FILE_REMOTE_PROTOCOL_INFO remote{};
    return !::GetFileInformationByHandleEx(file_.get(), FileRemoteProtocolInfo, &remote,
                                           sizeof remote);
  }

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
  UniqueFile file_;  // empty: nothing was opened, the file is not on disk
};

class Win32ClientFiles final : public ClientFiles {
 public:
  Result<std::unique_ptr<ClientFile>> open(std::string_view path) override {
    const std::optional<std::wstring> name = wide_path(path);
    if (!name) return fail(os_error_text(ERROR_INVALID_NAME));
    if (on_network_drive(*name)) {
      return std::unique_ptr<ClientFile>(std::make_unique<Win32ClientFile>(UniqueFile()));
    }
    UniqueFile file;
    if (Status opened = open_without_oplock_wait(*name, file); !opened.has_value()) {
      return fail(std::move(opened).error());
    }
    return std::unique_ptr<ClientFile>(std::make_unique<Win32ClientFile>(std::move(file)));
  }
};

}  // namespace

std::unique_ptr<ClientFiles> make_win32_client_files() {
  return std::make_unique<Win32ClientFiles>();
}

}  // namespace lumar
