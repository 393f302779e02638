#include "main/host_actions/process_termination.h"

#include <algorithm>
#include <vector>

#include "main/base/text.h"
#include "main/host_actions/unicode_lower.h"

namespace lumar {

std::optional<std::string> image_name_from_tasklist(std::string_view output) {
  const std::string text = decode_utf8_lossy(output);
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    // Informational messages ("INFO: No tasks are running ...") hold no comma.
    if (line.empty() || line.find(',') == std::string_view::npos) continue;
    const std::size_t open = line.find('"');
    if (open == std::string_view::npos) return std::nullopt;
    std::string_view name = line.substr(open + 1);
    name = name.substr(0, name.find('"'));
    if (name.empty()) return std::nullopt;
    return std::string(name);
  }
  return std::nullopt;
}

std::string protection_key(std::string_view image_name) {
  const std::string lowered = to_lower_full(trim_unicode_white_space(image_name));
  std::string_view base = lowered;
  if (const std::size_t slash = base.find_last_of("/\\"); slash != std::string_view::npos) {
    base = base.substr(slash + 1);
  }
  if (base.ends_with(".exe")) return std::string(base.substr(0, base.size() - 4));
  return lowered;
}

bool is_protected_process(std::string_view image_name) {
  const std::string key = protection_key(image_name);
  return std::find(kProtectedProcessList.begin(), kProtectedProcessList.end(), key) !=
         kProtectedProcessList.end();
}

Reply terminate_process(std::uint64_t pid, ChildPrograms& programs) {
  // Windows process ids are 32-bit: a larger number would name nothing, or
  // be cut down by a tool to someone else's process.
  if (pid == 0 || pid > 0xFFFFFFFFu) return Reply::failure("invalid pid");
  const std::string id = std::to_string(pid);

  // When tasklist cannot run or names nothing, the check is skipped and
  // taskkill's own answer decides. A capture of ours that failed is another
  // matter: its empty output proves nothing, so nothing is killed unchecked.
  auto listed = programs.run_captured("tasklist", {"/FI", "PID eq " + id, "/FO", "CSV", "/NH"});
  if (listed.has_value()) {
    if (auto name = image_name_from_tasklist(listed->output); name && is_protected_process(*name)) {
      return Reply::failure("refusing to terminate protected process '" + *name + "'");
    }
  } else if (listed.error().kind != CaptureError::Kind::kNotStarted) {
    return Reply::failure("cannot check process " + id +
                          " against the protected list: " + listed.error().text);
  }

  auto killed = programs.run("taskkill", {"/F", "/T", "/PID", id});
  if (!killed.has_value()) return Reply::failure(killed.error());
  if (*killed != 0) {
    return Reply::failure("taskkill failed (exit " +
                          std::to_string(static_cast<std::int32_t>(*killed)) + ")");
  }
  return Reply::success();
}

}  // namespace lumar
