// The system's tools started as real child processes.
#pragma once

#include <memory>

#include "main/child_programs.h"

namespace lumar {

std::unique_ptr<ChildPrograms> make_win32_child_programs();

}  // namespace lumar
