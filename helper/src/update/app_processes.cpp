#include "update/app_processes.h"

#include <utility>

namespace lumar {
namespace {

bool is_separator(char c, bool verbatim) { return c == '\\' || (!verbatim && c == '/'); }

// End of the component that begins at `pos`.
std::size_t component_end(std::string_view path, std::size_t pos, bool verbatim) {
  while (pos < path.size() && !is_separator(path[pos], verbatim)) ++pos;
  return pos;
}

struct PathPrefix {
  std::size_t length = 0;
  bool verbatim = false;  // "\\?\": only backslashes separate, "." is a name
};

// The part of a path before its root: a drive ("C:"), a UNC server and share
// ("\\server\share"), a device ("\\.\pipe") or an extended-length prefix
// ("\\?\C:", "\\?\UNC\server\share").
PathPrefix path_prefix(std::string_view path) {
  if (path.size() >= 2 && is_separator(path[0], false) && is_separator(path[1], false)) {
    if (path.size() >= 4 && path.substr(0, 4) == "\\\\?\\") {
      std::size_t pos = 4;
      if (starts_with_ascii_ci(path.substr(pos), "UNC\\")) {
        pos = component_end(path, pos + 4, true);                         // server
        if (pos < path.size()) pos = component_end(path, pos + 1, true);  // share
      } else {
        pos = component_end(path, pos, true);
      }
      return {pos, true};
    }
    if (path.size() >= 4 && path[2] == '.' && is_separator(path[3], false)) {
      return {component_end(path, 4, false), false};
    }
    std::size_t pos = component_end(path, 2, false);                   // server
    if (pos < path.size()) pos = component_end(path, pos + 1, false);  // share
    return {pos, false};
  }
  const char drive = path.empty() ? '\0' : ascii_lower(path[0]);
  if (path.size() >= 2 && drive >= 'a' && drive <= 'z' && path[1] == ':') return {2, false};
  return {};
}

struct LastComponent {
  std::size_t start = 0;
  std::string_view name;
};

// The last component that names something ("." components and empty ones
// between doubled separators do not).
std::optional<LastComponent> last_component(std::string_view path) {
  const PathPrefix prefix = path_prefix(path);
  std::optional<LastComponent> last;
  std::size_t pos = prefix.length;
  while (pos < path.size()) {
    if (is_separator(path[pos], prefix.verbatim)) {
      ++pos;
      continue;
    }
    const std::size_t end = component_end(path, pos, prefix.verbatim);
    const std::string_view name = path.substr(pos, end - pos);
    if (prefix.verbatim || name != ".") last = LastComponent{pos, name};
    pos = end;
  }
  return last;
}

}  // namespace

std::optional<std::string_view> path_file_name(std::string_view path) {
  const std::optional<LastComponent> last = last_component(path);
  if (!last || last->name == "..") return std::nullopt;
  return last->name;
}

std::optional<std::string_view> path_parent(std::string_view path) {
  const std::optional<LastComponent> last = last_component(path);
  if (!last) return std::nullopt;
  const PathPrefix prefix = path_prefix(path);
  // Keep the root separator right after the prefix: "C:\" is a folder, "C:"
  // is the drive's current folder.
  std::size_t floor = prefix.length;
  if (floor < path.size() && is_separator(path[floor], prefix.verbatim)) ++floor;
  std::size_t end = last->start;
  while (end > floor && is_separator(path[end - 1], prefix.verbatim)) --end;
  if (end == 0) return std::nullopt;
  return path.substr(0, end);
}

std::vector<AppInstance> find_app_instances(ProcessSystem& system,
                                            std::string_view executable_path) {
  std::vector<AppInstance> found;
  const std::optional<std::string_view> file_name = path_file_name(executable_path);
  if (!file_name) return found;
  std::optional<std::vector<ProcessEntry>> entries = system.snapshot();
  if (!entries) return found;
  const std::string wanted_path = decode_utf8_lossy(executable_path);
  for (const ProcessEntry& entry : *entries) {
    // The name narrows the walk so that only likely copies are opened; the
    // full path decides.
    if (!equal_ascii_ci(entry.exe_name, *file_name)) continue;
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
