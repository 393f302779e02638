// libmsi (msitools' library) behind the helper's MsiApi, so that the
// helper's own property reading (MsiQueries, with its texts) runs on Linux.
// Only the package calls are real: this machine has no installed products,
// so the product calls answer as msi.dll does for a product it does not know.
#pragma once

#include <memory>

#include "update/installer_queries.h"

namespace lumar {

std::unique_ptr<MsiApi> make_libmsi_api();

}  // namespace lumar
