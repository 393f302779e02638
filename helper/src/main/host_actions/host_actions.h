// The two privileged actions of the full edition, as the dispatcher sees them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "main/channel/reply.h"

namespace lumar {

class HostActions {
 public:
  virtual ~HostActions() = default;
  virtual Reply kill(std::uint64_t pid) = 0;
  virtual Reply write_hosts(const std::vector<std::string>& domains) = 0;
};

}  // namespace lumar
