// The Win32 side of the installer worker: msiexec and the hand-over as child
// processes.
#pragma once

#include <memory>

#include "update/installer_worker.h"

namespace lumar {

std::unique_ptr<InstallerSystem> make_win32_installer_system();

}  // namespace lumar
