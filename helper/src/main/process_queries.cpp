#include "main/process_queries.h"

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

}  // namespace lumar
