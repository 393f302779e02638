// "install" and "uninstall": registering the helper as the LumarHelper
// service and removing that registration.
//
// The registration points at one executable while other copies of the helper
// may exist: it belongs to whichever copy it names. "install" never takes the
// service from another copy that still exists, and "uninstall" never deletes
// a service that names another copy. "install" is also the hand-over after an
// update: the newly installed helper restarts the service on itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/platform/clock.h"
#include "main/platform/files.h"
#include "main/service/helper_log.h"

namespace lumar {

// The service layer's text for any failed service-manager call. The system
// error code is deliberately not shown.
inline constexpr std::string_view kServiceCallFailed = "IO error in winapi call";

// What the service manager and the service are opened for. The adapter asks
// for exactly the rights each step uses and no more.
enum class ManagerAccess {
  kInstall,    // connect, create a service
  kUninstall,  // connect
};
enum class ServiceAccess {
  kCreate,     // change the configuration, start
  kInstall,    // query and change the configuration, query the status, start, stop
  kUninstall,  // query the configuration and status, stop, delete
};

// As far as registration needs to tell a service's states apart.
enum class ServiceState { kStopped, kNotStopped };

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceErrorNormal = 1;

// The restart step's wait for the old service process: 60 looks, 250 ms apart.
inline constexpr int kStopPolls = 60;
inline constexpr std::chrono::milliseconds kStopPollInterval{250};
// Uninstall gives a stopping service this long, once, before deleting it.
inline constexpr std::chrono::milliseconds kUninstallStopPause{500};

// What the service manager does when the helper's process dies without
// reporting itself stopped: start it again after 5 s, 30 s and 60 s, and
// count failures afresh after a day without one. They apply to crashes only
// (the failure-actions flag stays off), so that an update interrupted by the
// process's end is recovered without waiting for the next boot.
struct FailureActions {
  std::vector<std::chrono::milliseconds> restart_delays;
  std::chrono::seconds reset_period{0};
};
FailureActions helper_failure_actions();

struct ServiceDefinition {
  std::string name;
  std::string display_name;
  std::string description;  // set only when the service is created
  std::uint32_t service_type = kServiceWin32OwnProcess;
  std::uint32_t start_type = kServiceAutoStart;
  std::uint32_t error_control = kServiceErrorNormal;
  OsString command_line;  // the quoted executable path, a space, "run"
};

// The helper's own definition, for the executable at `executable_path`.
ServiceDefinition helper_service_definition(std::string_view executable_path);

// The executable a service's configured command line names: trimmed, leading
// double quotes removed, cut after the first ".exe" (letter case ignored).
std::string registered_helper_path(std::string_view command_line);

// Whether two helper paths (UTF-8) name the same helper: equal after folding
// A-Z only; nothing else is normalised.
bool same_helper(std::string_view registered_path, std::string_view running_path);

// "{what} contains a nul byte" when the text handed to the service manager
// holds a NUL character.
Status check_no_nul(std::string_view text, std::string_view what);

// A service's stored configuration, as far as registration reads it.
struct ServiceConfig {
  std::string binary_path;  // UTF-8, invalid sequences replaced
  std::uint32_t start_type = 0;
  std::uint32_t error_control = 0;
};

// Fails with "invalid service start type value" or "invalid service error
// control value" for values the helper does not know.
Status validate_service_config(const ServiceConfig& config);

// One opened service; destroying it closes its handle. Every failure is the
// service layer's error text.
class ServiceObject {
 public:
  virtual ~ServiceObject() = default;
  virtual Result<ServiceConfig> query_config() = 0;
  virtual Status change_config(const ServiceDefinition& definition) = 0;
  virtual Status set_description(std::string_view description) = 0;
  // Also turns the failure-actions flag off.
  virtual Status set_failure_actions(const FailureActions& actions) = 0;
  virtual Result<ServiceState> query_state() = 0;
  virtual Status stop() = 0;
  virtual Status start() = 0;
  virtual Status remove() = 0;
};

// An open connection to the local service manager's active database;
// destroying it closes its handle.
class ServiceDatabase {
 public:
  virtual ~ServiceDatabase() = default;
  virtual Result<std::unique_ptr<ServiceObject>> open_service(std::string_view name,
                                                              ServiceAccess access) = 0;
  virtual Result<std::unique_ptr<ServiceObject>> create_service(const ServiceDefinition& definition,
                                                                ServiceAccess access) = 0;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  virtual Result<std::unique_ptr<ServiceDatabase>> connect(ManagerAccess access) = 0;
};

// Whether an update is being installed right now, in which case the running
// helper must not be stopped: it hands over itself when the update is done.
using UpdateInFlight = std::function<bool()>;

struct RegistrationContext {
  ServiceManager& manager;
  Files& files;  // the running helper's path and whether another copy still exists
  UpdateInFlight update_in_flight;
  const Clock& clock;
  HelperLog& log;
};

// Each returns success (announced by one log line) or the message for the
// command line's error exit.
Status install_service(const RegistrationContext& context);
Status uninstall_service(const RegistrationContext& context);

// The Windows implementation, built only for Windows.
std::unique_ptr<ServiceManager> make_win32_service_manager();

}  // namespace lumar
