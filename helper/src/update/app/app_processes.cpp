#include "update/app/app_processes.h"

#include <utility>

#include "main/base/windows_paths.h"

namespace lumar {

std::vector<AppInstance> find_app_instances(Processes& processes,
                                            std::string_view executable_path) {
  std::vector<AppInstance> found;
  const std::optional<std::string_view> name = file_name(executable_path);
  if (!name) return found;
  SystemResult<std::vector<ProcessEntry>> entries = processes.snapshot();
  if (!entries.has_value()) return found;
  const std::string wanted_path = os_text_lossy(executable_path);
  for (const ProcessEntry& entry : *entries) {
    // The name narrows the walk so that only likely copies are opened; the
    // full path decides.
    if (!equal_ascii_ci(entry.exe_name, *name)) continue;
    // Enough to wait for a copy and end it, for whoever closes it.
    SystemResult<ProcessHandle> process = processes.open(entry.pid, ProcessAccess::kControl);
    if (!process.has_value()) continue;
    const SystemResult<OsString> image = processes.image_path(*process);
    if (!image.has_value() || !equal_ascii_ci(os_text_lossy(*image), wanted_path)) continue;
    const SystemResult<std::uint32_t> session = processes.session_id(*process);
    if (!session.has_value()) continue;
    const SystemResult<std::uint64_t> created = processes.creation_time(*process);
    if (!created.has_value()) continue;
    found.push_back(AppInstance{std::move(*process), *created, *session});
  }
  return found;
}

}  // namespace lumar
