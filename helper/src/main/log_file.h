// Appending to the log file, the one file operation the log needs.
#pragma once

#include <memory>
#include <string_view>

namespace lumar {

class LogFile {
 public:
  virtual ~LogFile() = default;
  // Creates the folder and its missing parents; failures are ignored.
  virtual void create_folders(std::string_view folder) = 0;
  // Opens `path` for appending (created when missing, never truncated,
  // shared for read, write and delete), writes `line` in one write (more
  // writes only for a partial one), closes it. Every failure is swallowed.
  virtual void append(std::string_view path, std::string_view line) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<LogFile> make_win32_log_file();

}  // namespace lumar
