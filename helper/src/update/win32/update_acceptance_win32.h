// The helper's update acceptance with its Win32 parts: the staging folder,
// msi.dll, the caller's process and the installer worker.
#pragma once

#include <memory>

#include "main/clock.h"
#include "main/environment.h"
#include "main/helper_log.h"
#include "main/service_control_state.h"
#include "main/update_acceptor.h"

namespace lumar {

// The references must outlive the acceptor and every installer thread it
// starts; the entry's objects do, as they live until the process ends.
std::unique_ptr<UpdateAcceptor> make_win32_update_acceptor(ServiceControlState& control,
                                                           HelperLog& log, const Clock& clock,
                                                           const Environment& environment);

}  // namespace lumar
