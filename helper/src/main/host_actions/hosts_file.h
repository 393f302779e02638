// The system hosts file, as the hosts-block writer reads and replaces it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "main/base/expected.h"

namespace lumar {

class HostsFile {
 public:
  virtual ~HostsFile() = default;

  // The whole file as bytes; nothing when it does not exist. The error is the
  // system's description, "{message} (os error {code})".
  virtual Result<std::optional<std::string>> read(const std::string& path) = 0;

  // Gives the file exactly `content`, in one step: either the whole new
  // content is in place or the old file is left exactly as it was. A
  // read-only file is refused.
  virtual Status replace(const std::string& path, std::string_view content) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<HostsFile> make_win32_hosts_file();

}  // namespace lumar
