// The file system side of staging a package.
#pragma once

#include <memory>

#include "update/staging.h"

namespace lumar {

std::unique_ptr<StagingFileSystem> make_win32_staging_file_system();

}  // namespace lumar
