#include "main/host_actions/system_host_actions.h"

#include "main/host_actions/hosts_block.h"
#include "main/host_actions/process_termination.h"

namespace lumar {

Reply SystemHostActions::kill(std::uint64_t pid) { return terminate_process(pid, *programs_); }

Reply SystemHostActions::write_hosts(const std::vector<std::string>& domains) {
  return write_hosts_block(domains, *hosts_, *programs_, env_);
}

}  // namespace lumar
