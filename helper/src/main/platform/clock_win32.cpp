#include "main/platform/clock.h"

#include <windows.h>

#include <thread>

#include "main/base/filetime_win32.h"

namespace lumar {
namespace {

// FILETIME ticks between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ULL;

class Win32Clock final : public Clock {
 public:
  LocalTime local_time() const override {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
  }
  std::uint64_t system_time_filetime() const override {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return filetime_ticks(now);
  }
  std::uint64_t unix_time_nanoseconds() const override {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = filetime_ticks(now);
    return ticks < kUnixEpochTicks ? 0 : (ticks - kUnixEpochTicks) * 100;
  }
  std::chrono::steady_clock::time_point monotonic_now() const override {
    return std::chrono::steady_clock::now();
  }
  void sleep_for(std::chrono::milliseconds duration) const override {
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

std::unique_ptr<Clock> make_win32_clock() { return std::make_unique<Win32Clock>(); }

}  // namespace lumar
