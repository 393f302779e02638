// Shows the LumarHelper service as the service manager has it, and the
// installed Lumar KQ Lite version, for the demo scripts (Wine's "sc qc"
// does not work).
//
//   show_service.exe               prints and exits 0 (1 without a service)
//   show_service.exe --after <pid> first waits (120 s at most) until the
//                                  service runs in a process other than <pid>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "main/base/text_win32.h"
#include "main/platform/process_image_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/service/product.h"
#include "update/install/windows_installer.h"

namespace {

using namespace lumar;

UniqueServiceHandle open_service() {
  const UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return UniqueServiceHandle();
  return UniqueServiceHandle(
      ::OpenServiceW(manager.get(), L"LumarHelper", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
}

bool status_of(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
  DWORD needed = 0;
  return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed) != 0;
}

const char* state_name(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
    default:
      return "other";
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const UniqueServiceHandle service = open_service();
  if (!service) {
    std::printf("service LumarHelper: not registered\n");
    return 1;
  }
  SERVICE_STATUS_PROCESS status{};
  if (argc == 3 && std::wstring(argv[1]) == L"--after") {
    const DWORD old_pid = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!(status_of(service.get(), status) && status.dwCurrentState == SERVICE_RUNNING &&
             status.dwProcessId != old_pid)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        std::printf("the service did not come back in a new process within 120 s\n");
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  auto buffer = std::make_unique<DWORD[]>(2048);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.get());
  DWORD needed = 0;
  if (::QueryServiceConfigW(service.get(), config, 8192, &needed)) {
    std::printf("configured command line: %s\n", narrow_lossy(config->lpBinaryPathName).c_str());
  }
  if (status_of(service.get(), status)) {
    std::printf("state: %s, process id %lu\n", state_name(status.dwCurrentState),
                static_cast<unsigned long>(status.dwProcessId));
    const UniqueHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
    if (process) {
      if (const auto image = process_image_path(process.get())) {
        std::printf("running image: %s\n", image->c_str());
      }
    }
  }
  const std::unique_ptr<Environment> environment = make_win32_environment();
  const std::unique_ptr<WindowsInstaller> installer = make_win32_windows_installer(*environment);
  const auto version = installed_version(*installer, kProductVariants[1].upgrade_code);
  std::printf("installed %s: %s\n", std::string(kProductVariants[1].product_name).c_str(),
              version ? version->c_str() : "none");
  return 0;
}
