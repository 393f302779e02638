#include "update/install/installer_worker.h"

#include <windows.h>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/platform/process_image_win32.h"
#include "main/platform/process_start_win32.h"

namespace lumar {
namespace {

class Win32WorkerHost final : public WorkerHost {
 public:
  Status start_detached(const OsString& program, const OsString& command_line) override {
    const Result<UniqueFile> null_device = open_null_device();
    if (!null_device) return fail(null_device.error());
    const HANDLE nul = null_device->get();
    Result<UniqueHandle> child =
        start_process_with_handles(wide(program), wide(command_line), {nul, nul, nul});
    if (!child) return fail(child.error());
    return {};
  }

  Result<OsString> own_executable_path() override { return lumar::own_executable_path(); }
};

}  // namespace

std::unique_ptr<WorkerHost> make_win32_worker_host() { return std::make_unique<Win32WorkerHost>(); }

}  // namespace lumar
