// The request pipe on Win32: \\.\pipe\lumar_helper with its fixed security
// descriptor, an instance always waiting, every wait bounded.
#pragma once

#include <memory>

#include "main/helper_log.h"
#include "main/pipe.h"

namespace lumar {

std::unique_ptr<PipeListener> make_win32_pipe_listener(HelperLog& log);

}  // namespace lumar
