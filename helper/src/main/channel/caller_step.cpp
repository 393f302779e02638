#include "main/channel/caller_step.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "main/service/log_text.h"

namespace lumar {
namespace {

// What is read at a time once the file has reached the size it had when it
// was opened.
constexpr std::size_t kProbeBytes = 4096;

Unexpected<PackageReadError> read_failure(PackageReadFault fault, std::string error = {}) {
  return Unexpected<PackageReadError>(PackageReadError{fault, std::move(error)});
}

// Opened with every right the update goes on to need: the worker waits for
// the app, and may have to end it, through this very handle.
Result<OpenedCaller> open_caller(Processes& processes, std::uint32_t pid) {
  SystemResult<ProcessHandle> process = processes.open(pid, ProcessAccess::kControl);
  if (!process) {
    return fail("open the requesting process " + std::to_string(pid) + " (" +
                std::to_string(process.error()) + ")");
  }
  return OpenedCaller{pid, std::move(*process)};
}

}  // namespace

ImpersonationGuard::~ImpersonationGuard() {
  if (!borrowed_ || borrowed_->revert()) return;
  // No request may be served under a borrowed identity: if it cannot be
  // given back, the helper ends here, without a reply.
  try {
    log_.write("install_update: RevertToSelf failed; exiting");
  } catch (...) {
  }
  exit_.exit_now(1);
}

namespace {

// Tells the watcher that its pieces are lost unless the read succeeded, so
// that nothing it worked out from a buffer that a failure frees, or that a
// growing file moves, is used.
class WatchedRead {
 public:
  explicit WatchedRead(PackageWatcher* watcher) : watcher_(watcher) {}
  ~WatchedRead() {
    if (watcher_ != nullptr) watcher_->lost();
  }
  WatchedRead(const WatchedRead&) = delete;
  WatchedRead& operator=(const WatchedRead&) = delete;

  void arrived(std::span<const std::uint8_t> bytes) {
    if (watcher_ != nullptr) watcher_->arrived(bytes);
  }
  // Before a buffer that the watcher looks into is grown (and so moved).
  void lose() {
    if (watcher_ != nullptr) watcher_->lost();
    watcher_ = nullptr;
  }
  void succeeded() { watcher_ = nullptr; }

 private:
  PackageWatcher* watcher_;
};

}  // namespace

bool is_drive_letter_path(std::string_view path) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  return path.size() >= 3 && letter(path[0]) && path[1] == ':' &&
         (path[2] == '\\' || path[2] == '/');
}

Expected<Bytes, PackageReadError> read_package(ClientFiles& files, std::string_view path,
                                               std::uint64_t limit, PackageWatcher* watcher,
                                               const ReadDeadline* deadline) {
  const auto timed_out = [deadline] { return deadline != nullptr && deadline->passed(); };
  Result<std::unique_ptr<ClientFile>> opened = files.open(path);
  if (!opened) return read_failure(PackageReadFault::kSystem, std::move(opened).error());
  ClientFile& file = **opened;
  if (!file.on_disk()) return read_failure(PackageReadFault::kNotOnDisk);
  const Result<std::uint64_t> size = file.size();
  if (!size) return read_failure(PackageReadFault::kSystem, size.error());
  if (*size > limit) return read_failure(PackageReadFault::kTooLarge);

  // Sized once for what the handle said. Past that size the end is found
  // by a small probe read, so the large buffer is not grown (and copied)
  // unless the file really did grow; it is never read past one byte over
  // the bound.
  Bytes contents(static_cast<std::size_t>(*size));
  WatchedRead watched(watcher);
  std::size_t filled = 0;
  while (filled < contents.size()) {
    if (timed_out()) return read_failure(PackageReadFault::kTimedOut);
    const std::size_t want = std::min(contents.size() - filled, kPackageReadChunkBytes);
    const Result<std::size_t> got = file.read(std::span(contents).subspan(filled, want));
    if (!got) return read_failure(PackageReadFault::kSystem, got.error());
    const std::size_t count = std::min(*got, want);
    if (count == 0) {
      contents.resize(filled);  // shrinking keeps the bytes where they are
      watched.succeeded();
      return contents;
    }
    watched.arrived(std::span(contents).subspan(filled, count));
    filled += count;
  }
  std::array<std::uint8_t, kProbeBytes> probe;
  for (;;) {
    if (timed_out()) return read_failure(PackageReadFault::kTimedOut);
    const std::size_t room = static_cast<std::size_t>(limit + 1 - filled);
    const Result<std::size_t> got =
        file.read(std::span<std::uint8_t>(probe.data(), std::min(probe.size(), room)));
    if (!got) return read_failure(PackageReadFault::kSystem, got.error());
    if (*got == 0) {
      watched.succeeded();
      return contents;
    }
    // The file grew since it was opened: the buffer is grown, and moved.
    watched.lose();
    contents.insert(contents.end(), probe.begin(),
                    probe.begin() + static_cast<std::ptrdiff_t>(*got));
    filled += *got;
    if (filled > limit) return read_failure(PackageReadFault::kTooLarge);
  }
}

Result<CallerPackage> CallerStep::run(PipeConnection& connection, std::string_view path,
                                      PackageWatcher* watcher) {
  const ReadDeadline deadline{clock_, clock_.monotonic_now() + kCallerStepDeadline};
  const SystemResult<std::uint32_t> pid = connection.client_process_id();
  if (!pid) return fail("cannot identify the requesting process");
  // Opened now, as the service, and used for everything after: an id kept
  // until after the read could by then name another process.
  Result<OpenedCaller> caller = open_caller(processes_, *pid);
  if (!caller) {
    log_.write_client_caused("install_update: refused: " + cut_foreign_piece(caller.error()));
    return fail(std::move(caller).error());
  }

  // Nothing but a local drive's file is opened at all.
  if (!is_drive_letter_path(path))
    return fail("read " + std::string(path) + ": not a file on disk");

  // The client's identity is held for the read alone.
  std::optional<Expected<Bytes, PackageReadError>> read;  // nothing: not impersonated
  {
    const ImpersonationGuard as_client(connection, log_, exit_);
    if (as_client.held())
      read.emplace(read_package(files_, path, kMaxPackageSize, watcher, &deadline));
  }
  if (!read) return fail("cannot impersonate the requesting process");
  Expected<Bytes, PackageReadError>& contents = *read;
  if (!contents) {
    const PackageReadError& error = contents.error();
    switch (error.fault) {
      case PackageReadFault::kTooLarge:
        return fail(std::string(path) + " is too large to be a release");
      case PackageReadFault::kNotOnDisk:
        return fail("read " + std::string(path) + ": not a file on disk");
      case PackageReadFault::kTimedOut:
        return fail("read " + std::string(path) + ": timed out");
      case PackageReadFault::kSystem:
        break;
    }
    return fail("read " + std::string(path) + ": " + error.system_error);
  }
  return CallerPackage{std::move(*caller), std::move(contents).value()};
}

}  // namespace lumar
