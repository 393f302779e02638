// The request pipe on Win32: \\.\pipe\lumar_helper with its fixed security
// descriptor, one instance at a time, every wait bounded.
#pragma once

#include <memory>

#include "main/pipe.h"

namespace lumar {

std::unique_ptr<PipeListener> make_win32_pipe_listener();

}  // namespace lumar
