#include <windows.h>

#include <chrono>
#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/service/service_registration.h"

namespace lumar {

namespace {

// The rights behind each access registration asks for.
DWORD manager_rights(ManagerAccess access) {
  switch (access) {
    case ManagerAccess::kInstall:
      return SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
    case ManagerAccess::kUninstall:
      return SC_MANAGER_CONNECT;
  }
  return 0;
}

DWORD service_rights(ServiceAccess access) {
  switch (access) {
    case ServiceAccess::kCreate:
      return SERVICE_CHANGE_CONFIG | SERVICE_START;
    case ServiceAccess::kInstall:
      return SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START |
             SERVICE_STOP;
    case ServiceAccess::kUninstall:
      return SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_STOP | DELETE;
  }
  return 0;
}

// QueryServiceConfigW's buffer, in bytes.
constexpr DWORD kConfigBufferBytes = 8192;

Status call_failed() { return fail(std::string(kServiceCallFailed)); }

// The texts handed to the service manager must not be cut short by a NUL.
Status check_definition(const ServiceDefinition& definition) {
  if (Status ok = check_no_nul(definition.name, "service name"); !ok.has_value()) return ok;
  if (Status ok = check_no_nul(definition.display_name, "display name"); !ok.has_value()) return ok;
  return check_no_nul(definition.command_line, "executable path");
}

class Win32Service final : public ServiceObject {
 public:
  explicit Win32Service(UniqueServiceHandle handle) : handle_(std::move(handle)) {}

  Result<ServiceConfig> query_config() override {
    // DWORD-aligned: the buffer holds a QUERY_SERVICE_CONFIGW and its strings.
    auto buffer = std::make_unique<DWORD[]>(kConfigBufferBytes / sizeof(DWORD));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.get());
    DWORD needed = 0;
    if (!::QueryServiceConfigW(handle_.get(), config, kConfigBufferBytes, &needed)) {
      return fail(std::string(kServiceCallFailed));
    }
    ServiceConfig result;
    if (config->lpBinaryPathName != nullptr)
      result.binary_path = narrow_lossy(config->lpBinaryPathName);
    result.start_type = config->dwStartType;
    result.error_control = config->dwErrorControl;
    return result;
  }

  Status change_config(const ServiceDefinition& definition) override {
    if (Status ok = check_definition(definition); !ok.has_value()) return ok;
    const std::wstring command_line = wide(definition.command_line);
    const std::wstring display_name = wide(definition.display_name);
    // No account, load order group, tag or dependencies: the account stays.
    if (!::ChangeServiceConfigW(handle_.get(), definition.service_type, definition.start_type,
                                definition.error_control, command_line.c_str(), nullptr, nullptr,
                                nullptr, nullptr, nullptr, display_name.c_str())) {
      return call_failed();
    }
    return {};
  }

  Status set_description(std::string_view description) override {
    if (Status ok = check_no_nul(description, "description"); !ok.has_value()) return ok;
    std::wstring text = wide(description);
    SERVICE_DESCRIPTIONW info{text.data()};
    if (!::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_DESCRIPTION, &info)) {
      return call_failed();
    }
    return {};
  }

  Status set_failure_actions(const FailureActions& actions) override {
    std::vector<SC_ACTION> steps;
    for (const std::chrono::milliseconds delay : actions.restart_delays) {
      steps.push_back({SC_ACTION_RESTART, static_cast<DWORD>(delay.count())});
    }
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = static_cast<DWORD>(actions.reset_period.count());
    info.cActions = static_cast<DWORD>(steps.size());
    info.lpsaActions = steps.data();
    if (!::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info)) {
      return call_failed();
    }
    // Off: the actions follow a crash only, never a stop the helper reported
    // itself with an exit code.
    SERVICE_FAILURE_ACTIONS_FLAG flag{FALSE};
    if (!::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) {
      return call_failed();
    }
    return {};
  }

  Result<ServiceState> query_state() override {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(handle_.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
      return fail(std::string(kServiceCallFailed));
    }
    return status.dwCurrentState == SERVICE_STOPPED ? ServiceState::kStopped
                                                    : ServiceState::kNotStopped;
  }

  Status stop() override {
    SERVICE_STATUS status{};
    if (!::ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status)) return call_failed();
    return {};
  }

  Status start() override {
    if (!::StartServiceW(handle_.get(), 0, nullptr)) return call_failed();
    return {};
  }

  Status remove() override {
    if (!::DeleteService(handle_.get())) return call_failed();
    return {};
  }

 private:
  UniqueServiceHandle handle_;
};

class Win32ServiceDatabase final : public ServiceDatabase {
 public:
  explicit Win32ServiceDatabase(UniqueServiceHandle handle) : handle_(std::move(handle)) {}

  Result<std::unique_ptr<ServiceObject>> open_service(std::string_view name,
                                                      ServiceAccess access) override {
    if (Status ok = check_no_nul(name, "service name"); !ok.has_value()) return fail(ok.error());
    UniqueServiceHandle service(
        ::OpenServiceW(handle_.get(), wide(name).c_str(), service_rights(access)));
    if (!service) return fail(std::string(kServiceCallFailed));
    return std::unique_ptr<ServiceObject>(std::make_unique<Win32Service>(std::move(service)));
  }

  Result<std::unique_ptr<ServiceObject>> create_service(const ServiceDefinition& definition,
                                                        ServiceAccess access) override {
    if (Status ok = check_definition(definition); !ok.has_value()) return fail(ok.error());
    // LocalSystem: no account name and no password.
    UniqueServiceHandle service(::CreateServiceW(
        handle_.get(), wide(definition.name).c_str(), wide(definition.display_name).c_str(),
        service_rights(access), definition.service_type, definition.start_type,
        definition.error_control, wide(definition.command_line).c_str(), nullptr, nullptr, nullptr,
        nullptr, nullptr));
    if (!service) return fail(std::string(kServiceCallFailed));
    return std::unique_ptr<ServiceObject>(std::make_unique<Win32Service>(std::move(service)));
  }

 private:
  UniqueServiceHandle handle_;
};

class Win32ServiceManager final : public ServiceManager {
 public:
  Result<std::unique_ptr<ServiceDatabase>> connect(ManagerAccess access) override {
    // The local machine's active database.
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, manager_rights(access)));
    if (!manager) return fail(std::string(kServiceCallFailed));
    return std::unique_ptr<ServiceDatabase>(
        std::make_unique<Win32ServiceDatabase>(std::move(manager)));
  }
};

}  // namespace

std::unique_ptr<ServiceManager> make_win32_service_manager() {
  return std::make_unique<Win32ServiceManager>();
}

}  // namespace lumar
