#include "main/win32/system_win32.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "main/win32/win32_handle.h"
#include "main/win32/win32_text.h"

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

std::uint64_t filetime_ticks(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// FILETIME ticks between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;

class Win32Clock final : public Clock {
 public:
  LocalTime local_time() const override {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
  }
  std::uint64_t system_time_filetime() const override {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return filetime_ticks(now);
  }
  std::uint64_t unix_time_nanoseconds() const override {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = filetime_ticks(now);
    return ticks < kUnixEpochTicks ? 0 : (ticks - kUnixEpochTicks) * 100;
  }
  std::chrono::steady_clock::time_point monotonic_now() const override {
    return std::chrono::steady_clock::now();
  }
  void sleep_for(std::chrono::milliseconds duration) const override {
    std::this_thread::sleep_for(duration);
  }
};

class Win32LogFile final : public LogFile {
 public:
  void create_folders(std::string_view folder) override {
    // Create each missing ancestor in turn; failures are ignored because the
    // open that follows fails too when the folder really is missing.
    const std::wstring path = wide(folder);
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

class Win32ProcessExit final : public ProcessExit {
 public:
  [[noreturn]] void exit_now(int code) override { ::ExitProcess(static_cast<UINT>(code)); }
};

class Win32Console final : public Console {
 public:
  void out(std::string_view text) override { write(STD_OUTPUT_HANDLE, text); }
  void err(std::string_view text) override { write(STD_ERROR_HANDLE, text); }

 private:
  static void write(DWORD which, std::string_view text) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
};

}  // namespace

std::unique_ptr<Environment> make_win32_environment() {
  return std::make_unique<Win32Environment>();
}
std::unique_ptr<Clock> make_win32_clock() { return std::make_unique<Win32Clock>(); }
std::unique_ptr<LogFile> make_win32_log_file() { return std::make_unique<Win32LogFile>(); }
std::unique_ptr<ClientFiles> make_win32_client_files() {
  return std::make_unique<Win32ClientFiles>();
}
std::unique_ptr<ProcessExit> make_win32_process_exit() {
  return std::make_unique<Win32ProcessExit>();
}
std::unique_ptr<Console> make_win32_console() { return std::make_unique<Win32Console>(); }

}  // namespace lumar
