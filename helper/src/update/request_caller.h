// The process behind an "install_update" request once it is described: its
// image path and session beside the handle opened when the request arrived.
#pragma once

#include <cstdint>

#include "main/base/text.h"
#include "main/processes.h"

namespace lumar {

struct RequestCaller {
  OsString image_path;    // full Win32 path, unpaired surrogates kept
  ProcessHandle process;  // opened for ProcessAccess::kControl
  std::uint32_t session_id = 0;
};

}  // namespace lumar
