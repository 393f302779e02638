// The process behind an "install_update" request, and the owned process
// handle type every part of the update path passes around.
#pragma once

#include <cstdint>
#include <memory>

#include "main/text.h"

namespace lumar {

// An open handle to a process, owned: destroying it closes the handle. The
// Win32 implementation is Win32ProcessHandle (main/win32/win32_process.h);
// fakes derive their own.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
};

// Access mask of the caller's and the app's handles:
// SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE.
inline constexpr std::uint32_t kAppProcessAccess = 0x00101001;

// The requesting process as the caller step opened it, the moment its
// request arrived. The handle keeps that very process (and so its id) from
// being replaced by another one for as long as the request is handled.
struct OpenedCaller {
  std::uint32_t pid = 0;
  std::unique_ptr<ProcessHandle> process;  // opened with kAppProcessAccess
};

struct RequestCaller {
  OsString image_path;                     // full Win32 path, unpaired surrogates kept
  std::unique_ptr<ProcessHandle> process;  // opened with kAppProcessAccess
  std::uint32_t session_id = 0;
};

}  // namespace lumar
