// The log's folder and file as the log sees them: opened without following a
// link, with what the rules for writing there need to know read from the
// open handle, so that what was checked is what gets written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace lumar {

struct LogEntryFacts {
  bool directory = false;
  // The entry itself is a link, junction or other reparse point.
  bool reparse_point = false;
  // The open handle's final path is not the path asked for: somewhere on
  // the way a link led elsewhere.
  bool reached_elsewhere = false;
  // Owned by LocalSystem, the Administrators group or the account the helper
  // runs as (which gains nothing by writing where it could write anyway).
  bool trusted_owner = false;
  std::uint32_t links = 1;
  std::uint64_t size = 0;
};

class OpenLogEntry {
 public:
  virtual ~OpenLogEntry() = default;
  // Nothing when they cannot be read.
  virtual std::optional<LogEntryFacts> facts() = 0;
  // One write for the whole text, more only for a partial one. False when a
  // write fails or writes nothing.
  virtual bool append(std::string_view text) = 0;
  // Renames this very file, replacing any file of the new name.
  virtual bool rename_replacing(std::string_view new_path) = 0;
};

class LogFile {
 public:
  virtual ~LogFile() = default;
  // Opens `folder` without following a link, held so that it cannot be
  // renamed or removed while the line is written. A missing folder is first
  // created with a protected access list (SYSTEM and Administrators full
  // control, Users read, nothing inherited), its missing parents plainly.
  // Nothing when it cannot be opened.
  virtual std::unique_ptr<OpenLogEntry> open_folder(std::string_view folder) = 0;
  // Opens `path` for appending without following a link, created when
  // missing (inheriting the folder's access list), never truncated, shared
  // for read, write and delete. Nothing when it cannot be opened.
  virtual std::unique_ptr<OpenLogEntry> open_file(std::string_view path) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<LogFile> make_win32_log_file();

}  // namespace lumar
