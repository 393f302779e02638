// The helper's diary: one time-stamped line per event in
// "{ProgramData}\Lumar\helper.log". Logging never fails for the caller.
#pragma once

#include <string>
#include <string_view>

#include "main/clock.h"
#include "main/environment.h"
#include "main/log_file.h"

namespace lumar {

// "{year}-{month}-{day} {hour}:{minute}:{second}", year at least four digits,
// the other fields two, zero-padded.
std::string format_time_stamp(const LocalTime& time);

class HelperLog {
 public:
  HelperLog(const Environment& environment, const Clock& clock, LogFile& file)
      : environment_(environment), clock_(clock), file_(file) {}

  // The path is worked out afresh for every line.
  std::string path() const;
  void write(std::string_view message);

 private:
  const Environment& environment_;
  const Clock& clock_;
  LogFile& file_;
};

}  // namespace lumar
