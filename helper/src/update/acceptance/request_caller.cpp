#include "update/acceptance/request_caller.h"

#include <string>
#include <utility>

namespace lumar {

Result<RequestCaller> identify_process(Processes& processes, OpenedCaller caller) {
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
