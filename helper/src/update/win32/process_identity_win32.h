// The system side of identifying a requesting process.
#pragma once

#include <memory>

#include "update/process_identity.h"

namespace lumar {

std::unique_ptr<ProcessQueries> make_win32_process_queries();

}  // namespace lumar
