// "lumar-helper-client verify": the helper's acceptance checks on a package
// and its signature, on this machine, without the helper.
#pragma once

#include <string>
#include <vector>

namespace lumar {

// `args`: what follows "verify". Returns the exit code: 0 accepted, 1
// refused (or a warning under --strict), 2 usage or an unreadable file.
int run_verify(const std::vector<std::string>& args);

}  // namespace lumar
