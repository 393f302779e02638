// Time, as the helper reads it: local wall-clock time for the log, system
// time for ages and cut-offs, a monotonic clock for deadlines, and sleeping.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace lumar {

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalTime local_time() const = 0;
  // FILETIME ticks: 100-nanosecond intervals since 1601-01-01 UTC.
  virtual std::uint64_t system_time_filetime() const = 0;
  // Nanoseconds since 1970-01-01 UTC from the precise clock; 0 before 1970.
  virtual std::uint64_t unix_time_nanoseconds() const = 0;
  virtual std::chrono::steady_clock::time_point monotonic_now() const = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) const = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<Clock> make_win32_clock();

}  // namespace lumar
