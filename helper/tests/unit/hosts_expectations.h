// What the hosts file is expected to hold: the managed block's marker lines
// and the block written for a list of domains.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "main/host_actions/hosts_block.h"

namespace lumar::test {

inline const std::string kStart(kHostsBlockStart);
inline const std::string kEnd(kHostsBlockEnd);

// Each domain, and its "www." form, sent to the unspecified IPv4 and IPv6
// addresses.
inline std::string block_for(std::initializer_list<std::string_view> domains) {
  std::string out = kStart + "\n";
  for (std::string_view d : domains) {
    const std::string s(d);
    out += "0.0.0.0 " + s + "\n0.0.0.0 www." + s + "\n:: " + s + "\n:: www." + s + "\n";
  }
  return out + kEnd + "\n";
}

}  // namespace lumar::test
