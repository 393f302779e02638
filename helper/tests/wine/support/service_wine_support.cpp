#include "service_wine_support.h"

#include <cstdint>
#include <memory>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "update/staged_name.h"

namespace lumar::test {
namespace {

UniqueServiceHandle open_helper_service(DWORD access) {
  const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return UniqueServiceHandle();
  return UniqueServiceHandle(::OpenServiceW(manager.get(), L"LumarHelper", access));
}

}  // namespace

std::optional<ServiceSettings> query_helper_service() {
  const UniqueServiceHandle service = open_helper_service(SERVICE_QUERY_CONFIG);
  if (!service) return std::nullopt;
  auto buffer = std::make_unique<DWORD[]>(2048);
  DWORD needed = 0;
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.get());
  if (!::QueryServiceConfigW(service.get(), config, 8192, &needed)) return std::nullopt;
  ServiceSettings settings;
  settings.binary_path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
  settings.display_name = config->lpDisplayName ? config->lpDisplayName : L"";
  settings.service_type = config->dwServiceType;
  settings.start_type = config->dwStartType;
  settings.error_control = config->dwErrorControl;
  auto* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.get());
  if (::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION,
                             reinterpret_cast<BYTE*>(buffer.get()), 8192, &needed) &&
      description->lpDescription != nullptr) {
    settings.description = description->lpDescription;
  }
  return settings;
}

std::optional<SERVICE_STATUS_PROCESS> query_service_status() {
  const UniqueServiceHandle service = open_helper_service(SERVICE_QUERY_STATUS);
  if (!service) return std::nullopt;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
    return std::nullopt;
  }
  return status;
}

bool wait_for_service_state(DWORD state, std::chrono::seconds limit) {
  return wait_until(limit, [&] {
    const auto status = query_service_status();
    return status && status->dwCurrentState == state;
  });
}

bool set_helper_binary_path(const std::wstring& command_line) {
  const UniqueServiceHandle service = open_helper_service(SERVICE_CHANGE_CONFIG);
  return service && ::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                           SERVICE_NO_CHANGE, command_line.c_str(), nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr);
}

DWORD send_stop_control() {
  const UniqueServiceHandle service = open_helper_service(SERVICE_STOP);
  if (!service) return ::GetLastError();
  SERVICE_STATUS status{};
  return ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status) ? 0 : ::GetLastError();
}

bool stop_helper_service() {
  // The process goes on for a moment after it has reported itself stopped;
  // until it has ended, its executable cannot be deleted or replaced.
  const std::optional<SERVICE_STATUS_PROCESS> before = query_service_status();
  const UniqueHandle process(before && before->dwProcessId != 0
                                 ? ::OpenProcess(SYNCHRONIZE, FALSE, before->dwProcessId)
                                 : nullptr);
  (void)send_stop_control();
  if (!wait_for_service_state(SERVICE_STOPPED)) return false;
  if (process) ::WaitForSingleObject(process.get(), 30000);
  return true;
}

bool wait_until_helper_service_gone(std::chrono::seconds limit) {
  return wait_until(limit, [] {
    const UniqueServiceHandle service = open_helper_service(SERVICE_QUERY_STATUS);
    return !service && ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  });
}

bool remove_helper_service() {
  // A service that is still starting (for instance one that a hand-over's
  // "install" is just starting) accepts no stop yet, and one deleted while
  // it runs can no longer be opened to stop it: stop it, again and again,
  // until it has stopped, and only then delete it.
  const bool stopped = wait_until(60s, [] {
    const UniqueServiceHandle service = open_helper_service(SERVICE_QUERY_STATUS | SERVICE_STOP);
    if (!service) return true;  // gone, or already marked for deletion
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service.get(), &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    return false;
  });
  if (!stopped) return false;
  if (const UniqueServiceHandle service = open_helper_service(DELETE))
    ::DeleteService(service.get());
  return wait_until_helper_service_gone();
}

std::wstring copy_helper(const std::wstring& folder) {
  ::CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring exe = folder + L"\\lumar-helper.exe";
  ::CopyFileW(helper_exe().c_str(), exe.c_str(), FALSE);
  return exe;
}

RunResult run_logged(const std::wstring& exe, const std::wstring& mode,
                     const std::wstring& program_data) {
  return run(quote(exe) + L" " + mode, {{L"ProgramData", program_data}});
}

std::vector<std::string> log_messages(const std::string& log_text) {
  std::vector<std::string> messages;
  std::size_t start = 0;
  while (start < log_text.size()) {
    std::size_t end = log_text.find('\n', start);
    if (end == std::string::npos) end = log_text.size();
    const std::string line = log_text.substr(start, end - start);
    // "YYYY-MM-DD HH:MM:SS " before the message.
    messages.push_back(line.size() >= 20 ? line.substr(20) : line);
    start = end + 1;
  }
  return messages;
}

std::wstring service_log_path() { return L"C:\\users\\Public\\Lumar\\helper.log"; }

LogTail::LogTail(std::wstring path) : path_(std::move(path)), start_(read_file(path_).size()) {}

std::vector<std::string> LogTail::messages() const {
  const std::string text = read_file(path_);
  return log_messages(text.size() > start_ ? text.substr(start_) : std::string());
}

bool LogTail::wait_for(const std::string& message, std::chrono::seconds limit) const {
  return wait_until(limit, [&] {
    for (const std::string& m : messages()) {
      if (m == message) return true;
    }
    return false;
  });
}

std::wstring staged_name(DWORD pid) { return wide(staged_package_name(pid, 1)); }

std::wstring staged_files_pattern() { return wide(std::string(kStagedPackagePrefix) + "*"); }

PlantedStagedFile::PlantedStagedFile(const std::wstring& folder, const std::wstring& name,
                                     std::chrono::seconds age, const std::wstring& contents_from)
    : path_(folder + L"\\" + name) {
  if (contents_from.empty()) {
    write_file(path_, "not a package");
  } else {
    ::CopyFileW(contents_from.c_str(), path_.c_str(), FALSE);
  }
  const std::uint64_t ticks =
      system_time_now() - static_cast<std::uint64_t>(age.count()) * 10'000'000ULL;
  const FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const UniqueFile file(::CreateFileW(path_.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  ::SetFileTime(file.get(), nullptr, nullptr, &written);
}

PlantedStagedFile::~PlantedStagedFile() { ::DeleteFileW(path_.c_str()); }

}  // namespace lumar::test
