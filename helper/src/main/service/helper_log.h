// The helper's diary: one time-stamped line per event in
// "{ProgramData}\Lumar\helper.log", a file only the helper writes. Logging
// never fails for the caller: a line that cannot be written safely is lost.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "main/platform/clock.h"
#include "main/platform/environment.h"
#include "main/platform/log_file.h"

namespace lumar {

// "{year}-{month}-{day} {hour}:{minute}:{second}", year at least four digits,
// the other fields two, zero-padded.
std::string format_time_stamp(const LocalTime& time);

// Past this size the file is renamed to helper.old.log and a new one begun.
inline constexpr std::uint64_t kMaxLogFileBytes = 16 * 1024 * 1024;
// Lines a client can cause, written per minute; the rest are counted.
inline constexpr std::uint32_t kClientLinesPerMinute = 60;
inline constexpr std::chrono::minutes kClientLineWindow{1};
inline constexpr std::string_view kOldLogFileName = "helper.old.log";

class HelperLog {
 public:
  HelperLog(const Environment& environment, const Clock& clock, LogFile& file)
      : environment_(environment), clock_(clock), file_(file) {}

  // The path is worked out afresh for every line.
  std::string path() const;

  // A line about the helper's own doing: never held back.
  void write(std::string_view message) noexcept;
  // A line that a client can cause at will (a refused request, for one):
  // at most kClientLinesPerMinute a minute; past that they are counted, and
  // the count is logged once the minute is over, before the next line.
  void write_client_caused(std::string_view message) noexcept;

 private:
  struct ClientBudget {
    std::optional<std::chrono::steady_clock::time_point> window_start;
    std::uint32_t written = 0;
    std::uint64_t held_back = 0;
  };

  // Whether a client-caused line may be written now. Called locked.
  bool take_client_line(std::chrono::steady_clock::time_point now);
  // Logs the count of the lines held back in a minute that is over. Called
  // locked.
  void report_held_back(std::chrono::steady_clock::time_point now);
  // Escapes and writes one line, if the folder and file may be written.
  void append_line(std::string_view message);

  const Environment& environment_;
  const Clock& clock_;
  LogFile& file_;
  // Lines from several threads meet here: the count and the rename of a
  // full file are done one line at a time.
  std::mutex mutex_;
  ClientBudget budget_;
};

}  // namespace lumar
