// The service manager and the service dispatcher behind the portable
// registration and runtime.
#pragma once

#include <memory>

#include "main/expected.h"
#include "main/service_registration.h"
#include "main/service_runtime.h"

namespace lumar {

std::unique_ptr<ServiceManager> make_win32_service_manager();
std::unique_ptr<RegistrationHost> make_win32_registration_host();
std::unique_ptr<ServiceHandlerRegistrar> make_win32_handler_registrar();

// StartServiceCtrlDispatcherW for the one service LumarHelper, whose service
// main is `runtime`'s. Blocks for the service's life, then waits until the
// service main has written its last log line. Fails at once (under Wine
// after about 10 s) when the process was not started by the service manager.
Status run_win32_service_dispatcher(ServiceRuntime& runtime);

}  // namespace lumar
