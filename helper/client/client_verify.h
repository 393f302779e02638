// "lumar-helper-client verify": the helper's acceptance checks on a package
// and its signature, on this machine, without the helper.
#pragma once

#include <string>
#include <vector>

namespace lumar {

// The command's line of the usage text.
inline constexpr const char* kVerifyUsage =
    "lumar-helper-client verify PACKAGE.msi SIGNATURE.minisig [--installed VERSION] "
    "[--json] [--strict]";

// `args`: what follows "verify". Returns the exit code: 0 accepted, 1
// refused (or a warning under --strict), 2 usage or an unreadable file.
int run_verify(const std::vector<std::string>& args);

}  // namespace lumar
