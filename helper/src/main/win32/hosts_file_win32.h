// The hosts file on disk, replaced atomically.
#pragma once

#include <memory>

#include "main/hosts_file.h"

namespace lumar {

std::unique_ptr<HostsFile> make_win32_hosts_file();

}  // namespace lumar
