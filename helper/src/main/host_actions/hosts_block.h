// The "write_hosts" request: one managed block of entries in the system hosts
// file that send blocked names to the unspecified addresses, replaced as a
// whole on every request.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "main/channel/reply.h"
#include "main/host_actions/child_programs.h"
#include "main/host_actions/hosts_file.h"
#include "main/platform/environment.h"

namespace lumar {

// The dash in the start marker is U+2014 EM DASH.
inline constexpr std::string_view kHostsBlockStart =
    "# >>> lumar-desktop block start (managed \xE2\x80\x94 do not edit) >>>";
inline constexpr std::string_view kHostsBlockEnd = "# <<< lumar-desktop block end <<<";

// "{SystemRoot}\System32\drivers\etc\hosts", or under C:\Windows when
// SystemRoot is unset.
std::string hosts_path(const Environment& env);

// The domain an entry names (scheme, "www.", path, query and port removed,
// lower case), or nothing when the entry is empty, holds white space, "#" or
// a control character (U+0000 to U+001F, U+007F) inside, or has no dot.
std::optional<std::string> normalize_domain(std::string_view entry);

// The normalized entries in request order, rejected ones and repeats dropped.
std::vector<std::string> build_domain_list(const std::vector<std::string>& entries);

// The new hosts file: every line of `old_content` outside managed blocks,
// byte for byte, then the block for `domains` (none when empty), each line
// ended by one line feed.
std::string rewrite_hosts_content(std::string_view old_content,
                                  const std::vector<std::string>& domains);

Reply write_hosts_block(const std::vector<std::string>& entries, HostsFile& file,
                        ChildPrograms& programs, const Environment& env);

}  // namespace lumar
