#include "update/acceptance/caller_policy.h"

#include <string>
#include <utility>

#include "main/base/text.h"
#include "main/base/windows_paths.h"
#include "main/service/product.h"

namespace lumar {
namespace {

std::string_view without_trailing_backslashes(std::string_view text) {
  while (!text.empty() && text.back() == '\\') text.remove_suffix(1);
  return text;
}

}  // namespace

Result<RequestCaller> identify_process(Processes& processes, OpenedCaller caller) {
  auto path = processes.image_path(caller.process);
  if (!path.has_value()) {
    return fail("read the requesting process's path (" + std::to_string(path.error()) + ")");
  }
  auto session = processes.session_id(caller.process);
  if (!session.has_value()) {
    return fail("read the requesting process's session (" + std::to_string(session.error()) + ")");
  }
  return RequestCaller{std::move(*path), std::move(caller.process), *session};
}

bool runs_from_folder(std::string_view image_path, std::string_view install_location) {
  return equal_ascii_ci(without_trailing_backslashes(parent_folder(image_path).value_or("")),
                        without_trailing_backslashes(install_location));
}

bool is_app_image(std::string_view image_path) {
  return has_file_name(image_path, kDesktopAppFileName);
}

std::optional<std::string> caller_refusal(std::string_view image_path,
                                          const std::optional<std::string>& install_location) {
  const std::string refusal = "the requesting process " + os_text_lossy(image_path) + " is not " +
                              std::string(kDesktopAppFileName);
  if (!install_location) return refusal;
  if (is_app_image(image_path) && runs_from_folder(image_path, *install_location)) {
    return std::nullopt;
  }
  return refusal + " in " + *install_location;
}

}  // namespace lumar
