// The system side of identifying a requesting process.
#pragma once

#include <memory>

#include "main/process_queries.h"

namespace lumar {

std::unique_ptr<ProcessQueries> make_win32_process_queries();

}  // namespace lumar
