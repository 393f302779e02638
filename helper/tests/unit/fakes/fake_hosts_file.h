// A HostsFile in memory: one file per path, with scripted failures.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "main/host_actions/hosts_file.h"

namespace lumar {

class FakeHostsFile : public HostsFile {
 public:
  Result<std::optional<std::string>> read(const std::string& path) override {
    ++reads;
    if (read_error) return fail(*read_error);
    auto it = files.find(path);
    if (it == files.end()) return std::optional<std::string>();
    return std::optional<std::string>(it->second);
  }

  Status replace(const std::string& path, std::string_view content) override {
    ++replaces;
    if (replace_error) return fail(*replace_error);
    files[path] = std::string(content);
    return {};
  }

  std::map<std::string, std::string> files;
  std::optional<std::string> read_error;
  std::optional<std::string> replace_error;
  int reads = 0;
  int replaces = 0;
};

}  // namespace lumar
