#include "main/channel/caller_identity.h"

#include <string>

#include "main/channel/pipe.h"
#include "main/service/log_text.h"

namespace lumar {

Result<OpenedCaller> open_caller(PipeConnection& connection, Processes& processes, HelperLog& log) {
  const SystemResult<std::uint32_t> pid = connection.client_process_id();
  if (!pid.has_value()) return fail("cannot identify the requesting process");
  SystemResult<ProcessHandle> process = processes.open(*pid, ProcessAccess::kControl);
  if (!process.has_value()) {
    std::string refusal = "open the requesting process " + std::to_string(*pid) + " (" +
                          std::to_string(process.error()) + ")";
    log.write_client_caused("install_update: refused: " + cut_foreign_piece(refusal));
    return fail(std::move(refusal));
  }
  return OpenedCaller{*pid, std::move(*process)};
}

ImpersonationGuard::ImpersonationGuard(PipeConnection& connection, HelperLog& log,
                                       ProcessExit& exit)
    : borrowed_(connection.impersonate()), log_(log), exit_(exit) {}

ImpersonationGuard::~ImpersonationGuard() {
  if (!borrowed_ || borrowed_->revert()) return;
  // No request may be served under a borrowed identity: if it cannot be
  // given back, the helper ends here, without a reply.
  try {
    log_.write("install_update: RevertToSelf failed; exiting");
  } catch (...) {
  }
  exit_.exit_now(1);
}

}  // namespace lumar
