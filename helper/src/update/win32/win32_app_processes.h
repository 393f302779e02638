// The Win32 side of finding the app's copies: toolhelp snapshots and
// process queries.
#pragma once

#include <memory>

#include "update/app_processes.h"

namespace lumar {

std::unique_ptr<ProcessSystem> make_win32_process_system();

}  // namespace lumar
