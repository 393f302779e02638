#include "main/channel/package_read.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

namespace lumar {
namespace {

// What is read at a time once the file has reached the size it had when it
// was opened.
constexpr std::size_t kProbeBytes = 4096;

Unexpected<PackageReadError> read_failure(PackageReadFault fault, std::string error = {}) {
  return Unexpected<PackageReadError>(PackageReadError{fault, std::move(error)});
}

// Tells the hash that its pieces are lost unless the read succeeded, so
// that nothing it worked out from a buffer that a failure frees, or that a
// growing file moves, is used.
class HashedRead {
 public:
  explicit HashedRead(IncrementalHash* hash) : hash_(hash) {}
  ~HashedRead() {
    if (hash_ != nullptr) hash_->lost();
  }
  HashedRead(const HashedRead&) = delete;
  HashedRead& operator=(const HashedRead&) = delete;

  void arrived(std::span<const std::uint8_t> bytes) {
    if (hash_ != nullptr) hash_->arrived(bytes);
  }
  // Before a buffer that the hash looks into is grown (and so moved).
  void lose() {
    if (hash_ != nullptr) hash_->lost();
    hash_ = nullptr;
  }
  void succeeded() { hash_ = nullptr; }

 private:
  IncrementalHash* hash_;
};

}  // namespace

bool is_drive_letter_path(std::string_view path) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  return path.size() >= 3 && letter(path[0]) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

Expected<Bytes, PackageReadError> read_package(ClientFiles& files, std::string_view path,
                                               std::uint64_t limit, IncrementalHash* hash,
                                               const ReadDeadline* deadline) {
  const auto timed_out = [deadline] { return deadline != nullptr && deadline->passed(); };
  Result<std::unique_ptr<ClientFile>> opened = files.open(path);
  if (!opened.has_value()) {
    return read_failure(PackageReadFault::kSystem, std::move(opened).error());
  }
  ClientFile& file = **opened;
  if (!file.on_disk()) return read_failure(PackageReadFault::kNotOnDisk);
  const Result<std::uint64_t> size = file.size();
  if (!size.has_value()) return read_failure(PackageReadFault::kSystem, size.error());
  if (*size > limit) return read_failure(PackageReadFault::kTooLarge);

  // Sized once for what the handle said. Past that size the end is found
  // by a small probe read, so the large buffer is not grown (and copied)
  // unless the file really did grow; it is never read past one byte over
  // the bound.
  Bytes contents(static_cast<std::size_t>(*size));
  HashedRead hashed(hash);
  std::size_t filled = 0;
  while (filled < contents.size()) {
    if (timed_out()) return read_failure(PackageReadFault::kTimedOut);
    const std::size_t want = std::min(contents.size() - filled, kPackageReadChunkBytes);
    const Result<std::size_t> got = file.read(std::span(contents).subspan(filled, want));
    if (!got.has_value()) return read_failure(PackageReadFault::kSystem, got.error());
    const std::size_t count = std::min(*got, want);
    if (count == 0) {
      contents.resize(filled);  // shrinking keeps the bytes where they are
      hashed.succeeded();
      return contents;
    }
    hashed.arrived(std::span(contents).subspan(filled, count));
    filled += count;
  }
  std::array<std::uint8_t, kProbeBytes> probe;
  for (;;) {
    if (timed_out()) return read_failure(PackageReadFault::kTimedOut);
    const std::size_t room = static_cast<std::size_t>(limit + 1 - filled);
    const Result<std::size_t> got =
        file.read(std::span<std::uint8_t>(probe.data(), std::min(probe.size(), room)));
    if (!got.has_value()) return read_failure(PackageReadFault::kSystem, got.error());
    if (*got == 0) {
      hashed.succeeded();
      return contents;
    }
    // The file grew since it was opened: the buffer is grown, and moved.
    hashed.lose();
    contents.insert(contents.end(), probe.begin(),
                    probe.begin() + static_cast<std::ptrdiff_t>(*got));
    filled += *got;
    if (filled > limit) return read_failure(PackageReadFault::kTooLarge);
  }
}

}  // namespace lumar
