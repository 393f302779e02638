// The machine behind the recovery after an interrupted update.
#pragma once

#include <memory>

#include "update/recovery.h"

namespace lumar {

std::unique_ptr<LeftoverFolders> make_win32_leftover_folders();
std::unique_ptr<RecoveryHost> make_win32_recovery_host();

}  // namespace lumar
