#include "main/channel/caller_step.h"

#include <optional>
#include <string>

namespace lumar {

Result<CallerPackage> CallerStep::run(PipeConnection& connection, std::string_view path,
                                      IncrementalHash* hash) {
  const ReadDeadline deadline{clock_, clock_.monotonic_now() + kCallerStepDeadline};
  // Opened now, as the service, and used for everything after: an id kept
  // until after the read could by then name another process.
  Result<OpenedCaller> caller = open_caller(connection, processes_, log_);
  if (!caller.has_value()) return fail(std::move(caller).error());

  // Nothing but a local drive's file is opened at all.
  if (!is_drive_letter_path(path))
    return fail("read " + std::string(path) + ": not a file on disk");

  // The client's identity is held for the read alone.
  std::optional<Expected<Bytes, PackageReadError>> read;  // nothing: not impersonated
  {
    const ImpersonationGuard as_client(connection, log_, exit_);
    if (as_client.held())
      read.emplace(read_package(files_, path, kMaxPackageSize, hash, &deadline));
  }
  if (!read) return fail("cannot impersonate the requesting process");
  Expected<Bytes, PackageReadError>& contents = *read;
  if (!contents.has_value()) {
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
