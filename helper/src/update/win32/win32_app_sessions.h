// The Win32 side of closing and starting the app: user tokens, environment
// blocks, CreateProcessAsUserW, termination and waits.
#pragma once

#include <memory>

#include "update/app_sessions.h"

namespace lumar {

std::unique_ptr<SessionSystem> make_win32_session_system();

}  // namespace lumar
