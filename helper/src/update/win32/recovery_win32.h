// The machine behind the recovery after an interrupted update.
#pragma once

#include <memory>

#include "update/recovery.h"
#include "update/staging.h"

namespace lumar {

// Finds the staging folder the way `staging` stages packages; `staging` must
// outlive the folders.
std::unique_ptr<LeftoverFolders> make_win32_leftover_folders(StagingFileSystem& staging);
std::unique_ptr<RecoveryHost> make_win32_recovery_host();

}  // namespace lumar
