#include "update/streamed_digest.h"

#include <system_error>

namespace lumar {

StreamedDigest::~StreamedDigest() { lost(); }

void StreamedDigest::lost() {
  // What has not been hashed yet never will be.
  {
    const std::lock_guard lock(mutex_);
    pieces_.clear();
    lost_ = true;
  }
  stop_thread();
}

void StreamedDigest::arrived(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  {
    const std::lock_guard lock(mutex_);
    if (lost_) return;
    pieces_.push_back(bytes);
  }
  more_.notify_one();
  if (thread_tried_) return;
  thread_tried_ = true;
  try {
    thread_ = std::thread([this] { hash_pieces(); });
  } catch (const std::system_error&) {
    // No second thread: finish() hashes everything on the caller's.
  }
}

void StreamedDigest::hash_pieces() {
  // Only this thread touches the hasher until it is joined.
  std::unique_lock lock(mutex_);
  for (;;) {
    more_.wait(lock, [this] { return closed_ || !pieces_.empty(); });
    if (pieces_.empty()) return;  // closed and drained
    const std::span<const std::uint8_t> piece = pieces_.front();
    pieces_.pop_front();
    lock.unlock();
    hasher_.update(piece);
    lock.lock();
  }
}

void StreamedDigest::stop_thread() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  more_.notify_one();
  thread_.join();
}

std::optional<PackageDigest> StreamedDigest::finish() {
  stop_thread();
  if (lost_) return std::nullopt;
  // What the thread left (all of it when there was none), on this thread.
  for (const std::span<const std::uint8_t> piece : pieces_) hasher_.update(piece);
  pieces_.clear();
  return hasher_.finish();
}

}  // namespace lumar
