// The "kill" request: ends a process and its tree of children with the
// system's taskkill, unless tasklist names it as one of the system,
// security-product or product processes that must never be ended.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "main/channel/reply.h"
#include "main/host_actions/child_programs.h"

namespace lumar {

// Image names, lower case and without ".exe", in the order they are held.
inline constexpr std::array<std::string_view, 42> kProtectedProcessList = {"lumar-helper",
                                                                           "lumar kq",
                                                                           "lumarkq",
                                                                           "system",
                                                                           "smss",
                                                                           "csrss",
                                                                           "wininit",
                                                                           "winlogon",
                                                                           "services",
                                                                           "lsass",
                                                                           "lsm",
                                                                           "svchost",
                                                                           "dwm",
                                                                           "explorer",
                                                                           "fontdrvhost",
                                                                           "sihost",
                                                                           "wininet",
                                                                           "msmpeng",
                                                                           "msmpsvc",
                                                                           "windefend",
                                                                           "securityhealthservice",
                                                                           "smartscreen",
                                                                           "mssense",
                                                                           "sense",
                                                                           "csagent",
                                                                           "csfalconservice",
                                                                           "csfalconcontainer",
                                                                           "sentinelagent",
                                                                           "sentinelservicehost",
                                                                           "cb",
                                                                           "cbcomms",
                                                                           "repmgr",
                                                                           "sophoshealth",
                                                                           "savservice",
                                                                           "mcshield",
                                                                           "masvc",
                                                                           "ccsvchst",
                                                                           "avp",
                                                                           "ekrn",
                                                                           "mbamservice",
                                                                           "elastic-endpoint",
                                                                           "xagt"};

// The image name in tasklist's headerless CSV output: the first quoted field
// of the first non-empty line that holds a comma. Nothing when no line
// qualifies or the name is empty.
std::optional<std::string> image_name_from_tasklist(std::string_view output);

// The key an image name is compared by: trimmed and lower-cased; for a name
// ending in ".exe", its last path component without the extension.
std::string protection_key(std::string_view image_name);

bool is_protected_process(std::string_view image_name);

Reply terminate_process(std::uint64_t pid, ChildPrograms& programs);

}  // namespace lumar
