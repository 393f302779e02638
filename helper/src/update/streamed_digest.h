// Hashes a package on a thread of its own while another thread is still
// reading it, so that the BLAKE2b pass of a prehashed signature hides behind
// the read instead of following it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "main/package_watcher.h"
#include "update/signature.h"

namespace lumar {

class StreamedDigest final : public PackageWatcher {
 public:
  StreamedDigest() = default;
  // Waits for the hashing thread: it reads bytes that the caller owns.
  ~StreamedDigest() override;
  StreamedDigest(const StreamedDigest&) = delete;
  StreamedDigest& operator=(const StreamedDigest&) = delete;

  // The next piece of the package, in order. Its bytes must stay valid and
  // unchanged until finish(), lost() or the destructor has returned.
  void arrived(std::span<const std::uint8_t> bytes) override;
  // Waits for the hashing thread; the digest is then never to be had.
  void lost() override;

  // The digest of every piece that arrived, or nothing once they were lost.
  // Hashes on the calling thread whatever the hashing thread has not, also
  // when it could not be started.
  std::optional<PackageDigest> finish();

 private:
  void hash_pieces();
  void stop_thread();

  PackageHasher hasher_;
  std::mutex mutex_;
  std::condition_variable more_;
  std::deque<std::span<const std::uint8_t>> pieces_;  // guarded by mutex_
  bool closed_ = false;                               // guarded by mutex_
  bool thread_tried_ = false;
  bool lost_ = false;
  std::thread thread_;
};

}  // namespace lumar
