// A clock that tests set by hand.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "main/platform/clock.h"

namespace lumar::test {

// Time stands still unless a test or a sleep moves it. The Unix time may
// instead step forward on every reading (`unix_ns_step`), so that names made
// from it differ from one call to the next.
class FakeClock final : public Clock {
 public:
  LocalTime local{2024, 3, 5, 7, 8, 9};
  std::uint64_t filetime = 133000000000000000ULL;  // FILETIME ticks
  mutable std::uint64_t unix_ns = 1700000000000000000ULL;
  std::uint64_t unix_ns_step = 0;
  mutable std::chrono::steady_clock::time_point now{};
  mutable std::vector<std::chrono::milliseconds> sleeps;

  LocalTime local_time() const override { return local; }
  std::uint64_t system_time_filetime() const override { return filetime; }
  std::uint64_t unix_time_nanoseconds() const override { return unix_ns += unix_ns_step; }
  std::chrono::steady_clock::time_point monotonic_now() const override { return now; }
  void sleep_for(std::chrono::milliseconds duration) const override {
    sleeps.push_back(duration);
    now += duration;
  }
};

}  // namespace lumar::test
