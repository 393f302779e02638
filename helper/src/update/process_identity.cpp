#include "update/process_identity.h"

#include <string>
#include <utility>

namespace lumar {

Result<OpenedCaller> open_caller(ProcessQueries& processes, std::uint32_t pid) {
  auto process = processes.open_process(pid);
  if (!process) {
    return fail("open the requesting process " + std::to_string(pid) + " (" +
                std::to_string(process.error()) + ")");
  }
  return OpenedCaller{pid, std::move(*process)};
}

Result<RequestCaller> identify_process(ProcessQueries& processes, OpenedCaller caller) {
  auto path = processes.image_path(caller.process);
  if (!path) {
    return fail("read the requesting process's path (" + std::to_string(path.error()) + ")");
  }
  auto session = processes.session_id(caller.process);
  if (!session) {
    return fail("read the requesting process's session (" + std::to_string(session.error()) + ")");
  }
  return RequestCaller{std::move(*path), std::move(caller.process), *session};
}

}  // namespace lumar
