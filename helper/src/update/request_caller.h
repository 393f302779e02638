// The process behind an "install_update" request, and the owned process
// handle type every part of the update path passes around.
#pragma once

#include <cstdint>

#include "main/text.h"
#include "main/unique_any.h"

namespace lumar {

// An open handle to a process, owned: destroying it closes the handle. Only
// the adapter that opened it knows what it holds.
using ProcessHandle = UniqueOpaque<struct ProcessHandleTag>;

// Access mask of the caller's and the app's handles:
// SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE.
inline constexpr std::uint32_t kAppProcessAccess = 0x00101001;

// The requesting process as the caller step opened it, the moment its
// request arrived. The handle keeps that very process (and so its id) from
// being replaced by another one for as long as the request is handled.
struct OpenedCaller {
  std::uint32_t pid = 0;
  ProcessHandle process;  // opened with kAppProcessAccess
};

struct RequestCaller {
  OsString image_path;    // full Win32 path, unpaired surrogates kept
  ProcessHandle process;  // opened with kAppProcessAccess
  std::uint32_t session_id = 0;
};

}  // namespace lumar
