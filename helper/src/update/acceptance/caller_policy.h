// Who may ask for an update: the process behind an "install_update" request,
// described by its image path and session beside the handle opened when the
// request arrived, and the rule that only the installed app may ask.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/channel/caller_identity.h"
#include "main/platform/processes.h"

namespace lumar {

struct RequestCaller {
  OsString image_path;    // full Win32 path, unpaired surrogates kept
  ProcessHandle process;  // opened for ProcessAccess::kControl
  std::uint32_t session_id = 0;
};

// Describes the caller step's opened process. Errors: "read the requesting
// process's path ({code})", "read the requesting process's session ({code})".
// On failure the handle is closed with `caller`.
Result<RequestCaller> identify_process(Processes& processes, OpenedCaller caller);

// True when the caller's folder (its image path without the last component)
// equals the install location, trailing backslashes removed from both and
// ASCII letters compared without case. No other normalisation.
bool runs_from_folder(std::string_view image_path, std::string_view install_location);

// True when the image path's last component is the app's file name, ASCII
// letters compared without case.
bool is_app_image(std::string_view image_path);

// Why the caller may not ask, or nothing when it is the installed app:
// "lumar-desktop.exe" in the edition's install location (compared as
// runs_from_folder does). Only the installed app may ask: anyone else's
// program of that name would have the worker close copies of it around an
// installation; and without an install location no caller can be proven to
// be the product's own.
std::optional<std::string> caller_refusal(std::string_view image_path,
                                          const std::optional<std::string>& install_location);

}  // namespace lumar
