// libmsi (msitools' library) behind the helper's WindowsInstaller, so that
// the helper's own property reading, with its texts, runs on Linux. Only
// packages are real: this machine has no installed products and runs no
// installation.
#pragma once

#include <memory>

#include "update/install/windows_installer.h"

namespace lumar {

std::unique_ptr<WindowsInstaller> make_libmsi_installer();

}  // namespace lumar
