// FILETIME as the one number the portable code uses for points in time.
#pragma once

#include <windows.h>

#include <cstdint>

namespace lumar {

// 100-nanosecond ticks since 1601-01-01 UTC.
inline std::uint64_t filetime_ticks(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace lumar
