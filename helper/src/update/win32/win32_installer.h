// The Win32 installer worker: msiexec and the hand-over as child processes,
// and the factory that puts the whole worker together.
#pragma once

#include <memory>

#include "main/clock.h"
#include "main/environment.h"
#include "main/helper_log.h"
#include "main/service_control_state.h"
#include "update/install_job.h"
#include "update/installer_worker.h"

namespace lumar {

std::unique_ptr<InstallerSystem> make_win32_installer_system();

// The worker that update acceptance starts for each accepted job. The four
// references must outlive the process's worker threads (the entry's objects
// do: they live until the process ends).
std::unique_ptr<InstallWorker> make_win32_install_worker(ServiceControlState& control,
                                                         HelperLog& log, const Clock& clock,
                                                         const Environment& environment);

}  // namespace lumar
