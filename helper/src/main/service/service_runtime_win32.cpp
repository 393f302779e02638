#include <windows.h>

#include <atomic>

#include "main/base/text_win32.h"
#include "main/service/product.h"
#include "main/service/service_registration.h"
#include "main/service/service_runtime.h"

namespace lumar {
namespace {

// The dispatcher's callbacks take no context of ours: the runtime is reached
// through this one pointer, set before the dispatcher starts.
std::atomic<ServiceRuntime*> g_runtime{nullptr};

void WINAPI service_main_entry(DWORD, LPWSTR*) {
  if (ServiceRuntime* runtime = g_runtime.load()) runtime->service_main();
}

ServiceControl portable_control(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return ServiceControl::kStop;
    case SERVICE_CONTROL_INTERROGATE:
      return ServiceControl::kInterrogate;
    default:
      return ServiceControl::kOther;
  }
}

DWORD win32_answer(ControlAnswer answer) {
  switch (answer) {
    case ControlAnswer::kDone:
      return NO_ERROR;
    case ControlAnswer::kCannotAcceptNow:
      return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    case ControlAnswer::kNotImplemented:
      break;
  }
  return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD WINAPI control_handler_entry(DWORD control, DWORD, LPVOID, LPVOID context) {
  return win32_answer(
      static_cast<ServiceControlHandler*>(context)->handle(portable_control(control)));
}

class Win32StatusSink final : public ServiceStatusSink {
 public:
  explicit Win32StatusSink(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}

  Status report(StatusReport report) override {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    switch (report) {
      case StatusReport::kRunning:
        status.dwCurrentState = SERVICE_RUNNING;
        status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        break;
      case StatusReport::kRunningStopRefused:
        status.dwCurrentState = SERVICE_RUNNING;
        break;
      case StatusReport::kStopped:
        status.dwCurrentState = SERVICE_STOPPED;
        break;
    }
    // Exit codes, checkpoint and wait hint stay 0.
    if (!::SetServiceStatus(handle_, &status)) return fail(std::string(kServiceCallFailed));
    return {};
  }

 private:
  SERVICE_STATUS_HANDLE handle_;  // not closed: it belongs to the service manager
};

class Win32HandlerRegistrar final : public ServiceHandlerRegistrar {
 public:
  Result<std::unique_ptr<ServiceStatusSink>> register_handler(
      std::string_view service_name, ServiceControlHandler& handler) override {
    const SERVICE_STATUS_HANDLE handle = ::RegisterServiceCtrlHandlerExW(
        wide(service_name).c_str(), control_handler_entry, &handler);
    if (handle == nullptr) return fail(std::string(kServiceCallFailed));
    return std::unique_ptr<ServiceStatusSink>(std::make_unique<Win32StatusSink>(handle));
  }
};

}  // namespace

std::unique_ptr<ServiceHandlerRegistrar> make_win32_handler_registrar() {
  return std::make_unique<Win32HandlerRegistrar>();
}

Status run_win32_service_dispatcher(ServiceRuntime& runtime) {
  g_runtime.store(&runtime);
  std::wstring name = wide(kServiceName);
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), service_main_entry}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) return fail(std::string(kServiceCallFailed));
  runtime.wait_for_service_main();
  return {};
}

}  // namespace lumar
