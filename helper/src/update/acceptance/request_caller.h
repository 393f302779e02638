// The process behind an "install_update" request once it is described: its
// image path and session beside the handle opened when the request arrived.
#pragma once

#include <cstdint>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/channel/update_acceptor.h"
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

}  // namespace lumar
