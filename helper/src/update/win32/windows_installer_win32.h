// msi.dll behind the portable installer queries.
#pragma once

#include <memory>

#include "update/installer_queries.h"

namespace lumar {

std::unique_ptr<MsiApi> make_win32_msi_api();

}  // namespace lumar
