#include "update/app_processes.h"

#include <utility>

#include "main/base/windows_paths.h"

namespace lumar {

std::vector<AppInstance> find_app_instances(ProcessSystem& system,
                                            std::string_view executable_path) {
  std::vector<AppInstance> found;
  const std::optional<std::string_view> name = file_name(executable_path);
  if (!name) return found;
  std::optional<std::vector<ProcessEntry>> entries = system.snapshot();
  if (!entries) return found;
  const std::string wanted_path = decode_utf8_lossy(executable_path);
  for (const ProcessEntry& entry : *entries) {
    // The name narrows the walk so that only likely copies are opened; the
    // full path decides.
    if (!equal_ascii_ci(entry.exe_name, *name)) continue;
    ProcessHandle process = system.open(entry.pid);
    if (!process) continue;
    const std::optional<OsString> image = system.image_path(process);
    if (!image || !equal_ascii_ci(decode_utf8_lossy(*image), wanted_path)) continue;
    const std::optional<std::uint32_t> session = system.session_of(entry.pid);
    if (!session) continue;
    const std::optional<std::uint64_t> created = system.creation_time(process);
    if (!created) continue;
    found.push_back(AppInstance{std::move(process), *created, *session});
  }
  return found;
}

}  // namespace lumar
