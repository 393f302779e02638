#include "main/service/service_registration.h"

#include "main/base/windows_paths.h"
#include "main/service/product.h"

namespace lumar {
namespace {

Result<ServiceConfig> read_config(ServiceObject& service) {
  Result<ServiceConfig> config = service.query_config();
  if (!config.has_value()) return config;
  if (Status valid = validate_service_config(*config); !valid.has_value()) {
    return fail(valid.error());
  }
  return config;
}

bool is_stopped(ServiceObject& service) {
  const Result<ServiceState> state = service.query_state();
  return state.has_value() && *state == ServiceState::kStopped;
}

Status create_and_start(const RegistrationContext& context, ServiceDatabase& database,
                        const ServiceDefinition& definition) {
  Result<std::unique_ptr<ServiceObject>> created =
      database.create_service(definition, ServiceAccess::kCreate);
  if (!created.has_value()) return fail("create service: " + created.error());
  ServiceObject& service = **created;
  (void)service.set_description(definition.description);
  (void)service.set_failure_actions(helper_failure_actions());
  if (Status started = service.start(); !started.has_value()) {
    return fail("start service: " + started.error());
  }
  context.log.write("install: service created + started");
  return {};
}

// Stops the service (giving it at most 15 s) and starts it again, so that it
// runs the executable it is now configured with. While an update is being
// installed the running helper must not be stopped: it hands over itself
// when the update is done.
Status restart(const RegistrationContext& context, ServiceObject& service) {
  if (context.update_in_flight()) {
    (void)service.start();
    context.log.write(
        "install: an update is installing; the running helper hands over when it is done");
    return {};
  }
  if (!is_stopped(service)) {
    (void)service.stop();
    for (int poll = 0; poll < kStopPolls; ++poll) {
      if (is_stopped(service)) break;
      context.clock.sleep_for(kStopPollInterval);
    }
  }
  if (Status started = service.start(); !started.has_value()) {
    return fail("start service: " + started.error());
  }
  context.log.write("install: service restarted on this install's helper");
  return {};
}

}  // namespace

FailureActions helper_failure_actions() {
  using std::chrono::seconds;
  return {{seconds(5), seconds(30), seconds(60)}, seconds(24 * 60 * 60)};
}

ServiceDefinition helper_service_definition(std::string_view executable_path) {
  ServiceDefinition definition;
  definition.name = kServiceName;
  definition.display_name = kServiceDisplayName;
  definition.description = kServiceDisplayName;
  definition.command_line = command_line(executable_path, {"run"});
  return definition;
}

std::string registered_helper_path(std::string_view command_line) {
  std::string_view path = trim_unicode_white_space(command_line);
  while (path.starts_with('"')) path.remove_prefix(1);
  const std::size_t exe = ascii_lower(path).find(".exe");
  if (exe != std::string::npos) path = path.substr(0, exe + 4);
  return std::string(path);
}

bool same_helper(std::string_view registered_path, std::string_view running_path) {
  return equal_ascii_ci(registered_path, running_path);
}

Status check_no_nul(std::string_view text, std::string_view what) {
  if (text.find('\0') != std::string_view::npos) {
    return fail(std::string(what) + " contains a nul byte");
  }
  return {};
}

Status validate_service_config(const ServiceConfig& config) {
  // Boot, system, automatic, on demand, disabled.
  if (config.start_type > 4) return fail("invalid service start type value");
  // Ignore, normal, severe, critical.
  if (config.error_control > 3) return fail("invalid service error control value");
  return {};
}

Status install_service(const RegistrationContext& context) {
  Result<std::unique_ptr<ServiceDatabase>> database =
      context.manager.connect(ManagerAccess::kInstall);
  if (!database.has_value()) return fail("open SCM: " + database.error());
  const Result<OsString> own_path = context.files.own_executable_path();
  if (!own_path.has_value()) return fail(own_path.error());
  const std::string running_path = os_text_lossy(*own_path);
  const ServiceDefinition definition = helper_service_definition(*own_path);

  Result<std::unique_ptr<ServiceObject>> opened =
      (*database)->open_service(kServiceName, ServiceAccess::kInstall);
  if (!opened.has_value()) return create_and_start(context, **database, definition);
  ServiceObject& service = **opened;

  const Result<ServiceConfig> config = read_config(service);
  if (!config.has_value()) return fail("read service config: " + config.error());
  const std::string registered_path = registered_helper_path(config->binary_path);

  if (!same_helper(registered_path, running_path)) {
    if (context.files.path_exists(registered_path)) {
      (void)service.start();  // it may well be running already
      context.log.write("install: kept the helper at " + registered_path);
      return {};
    }
    if (Status changed = service.change_config(definition); !changed.has_value()) {
      return fail("change service config: " + changed.error());
    }
    context.log.write("install: service moved from " + registered_path + " to " + running_path);
  }
  // A registration made before the service restarted itself gets that now.
  (void)service.set_failure_actions(helper_failure_actions());
  return restart(context, service);
}

Status uninstall_service(const RegistrationContext& context) {
  Result<std::unique_ptr<ServiceDatabase>> database =
      context.manager.connect(ManagerAccess::kUninstall);
  if (!database.has_value()) return fail(database.error());
  Result<std::unique_ptr<ServiceObject>> opened =
      (*database)->open_service(kServiceName, ServiceAccess::kUninstall);
  if (!opened.has_value()) return fail("open service: " + opened.error());
  ServiceObject& service = **opened;
  const Result<OsString> own_path = context.files.own_executable_path();
  if (!own_path.has_value()) return fail(own_path.error());

  // A configuration that cannot be read is no reason to keep the service.
  if (const Result<ServiceConfig> config = read_config(service); config.has_value()) {
    const std::string registered_path = registered_helper_path(config->binary_path);
    if (!same_helper(registered_path, os_text_lossy(*own_path))) {
      context.log.write("uninstall: left the helper at " + registered_path);
      return {};
    }
  }

  const Result<ServiceState> state = service.query_state();
  if (state.has_value() && *state != ServiceState::kStopped) {
    (void)service.stop();
    // No polling: the service manager removes a deleted service once it has
    // stopped.
    context.clock.sleep_for(kUninstallStopPause);
  }
  if (Status removed = service.remove(); !removed.has_value())
    return fail("delete service: " + removed.error());
  context.log.write("uninstall: service deleted");
  return {};
}

}  // namespace lumar
