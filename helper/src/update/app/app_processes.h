// The running copies of the desktop application: every process whose image
// is exactly a given executable file, each with an open handle, its creation
// time and its session.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "main/platform/processes.h"

namespace lumar {

// One running copy. It carries no process id on purpose: ids are reused, so
// everything done to a copy later goes through the handle.
struct AppInstance {
  ProcessHandle process;      // opened for ProcessAccess::kControl
  std::uint64_t created = 0;  // FILETIME ticks, as GetProcessTimes reports
  std::uint32_t session_id = 0;
};

// The copies running exactly `executable_path`, in snapshot order. Never
// fails: every problem leaves a process out, and every handle opened for a
// process that is left out is closed again.
std::vector<AppInstance> find_app_instances(Processes& processes, std::string_view executable_path);

}  // namespace lumar
