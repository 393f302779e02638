// Who sent an "install_update": the caller step's opened process, described
// as a RequestCaller with its image path and session.
#pragma once

#include "main/base/expected.h"
#include "main/processes.h"
#include "main/update_acceptor.h"
#include "update/request_caller.h"

namespace lumar {

// Errors: "read the requesting process's path ({code})",
// "read the requesting process's session ({code})". On failure the handle is
// closed with `caller`.
Result<RequestCaller> identify_process(Processes& processes, OpenedCaller caller);

}  // namespace lumar
