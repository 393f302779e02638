// The bounded read of a package the client names: through one handle, at
// most one byte past the size bound, given up at a deadline. The helper reads
// it under the client's identity; the client tool and the release check read
// a file with it the same way.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "main/base/bytes.h"
#include "main/base/expected.h"
#include "main/channel/client_files.h"
#include "main/channel/incremental_hash.h"
#include "main/platform/clock.h"

namespace lumar {

// Packages above this size are refused without being read.
inline constexpr std::uint64_t kMaxPackageSize = 536870912;  // 512 MiB

// Why a package read failed: the size bound, a file that is not on disk, the
// deadline, or the system's description of an error.
enum class PackageReadFault { kSystem, kNotOnDisk, kTooLarge, kTimedOut };
struct PackageReadError {
  PackageReadFault fault = PackageReadFault::kSystem;
  std::string system_error;  // for kSystem
};

// How much of the client's file is read at a time.
inline constexpr std::size_t kPackageReadChunkBytes = std::size_t{8} << 20;

// Reads `path` through one open handle: its kind and size are taken from
// that handle and at most `limit` + 1 bytes are read through it, so a file
// that grows while it is read is still caught as too large. Each piece read
// is shown to `hash`, if there is one; it is told when they are lost.
// With a deadline, the read is given up once `clock` has passed it (looked
// at before each piece).
struct ReadDeadline {
  const Clock& clock;
  std::chrono::steady_clock::time_point at;
  bool passed() const { return clock.monotonic_now() >= at; }
};
Expected<Bytes, PackageReadError> read_package(ClientFiles& files, std::string_view path,
                                               std::uint64_t limit, IncrementalHash* hash = nullptr,
                                               const ReadDeadline* deadline = nullptr);

// True for a full path on a drive letter ("C:\..." or "C:/..."). A package
// is read only from there: a UNC path can name a host that never answers, a
// device path a device that never ends, and a relative one means nothing to
// the client. The product only ever names a file it downloaded to a local
// folder, so nothing is lost.
bool is_drive_letter_path(std::string_view path);

}  // namespace lumar
