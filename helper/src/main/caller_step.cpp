#include "main/caller_step.h"

#include <string>

namespace lumar {
namespace {

std::string read_error(std::string_view path, const std::string& error) {
  return "read " + std::string(path) + ": " + error;
}

}  // namespace

Result<CallerPackage> CallerStep::run(PipeConnection& connection, std::string_view path) {
  const std::optional<std::uint32_t> pid = connection.client_process_id();
  if (!pid) return fail("cannot identify the requesting process");

  std::unique_ptr<Impersonation> impersonation = connection.impersonate();
  if (!impersonation) return fail("cannot impersonate the requesting process");

  Result<Bytes> contents = [&]() -> Result<Bytes> {
    const Result<std::uint64_t> size = files_.file_size(path);
    if (!size) return fail(read_error(path, size.error()));
    if (*size > kMaxPackageSize) return fail(std::string(path) + " is too large to be a release");
    Result<Bytes> read = files_.read_file(path, *size);
    if (!read) return fail(read_error(path, read.error()));
    return read;
  }();

  // No request may be served under a borrowed identity: if it cannot be
  // given back, the helper ends here, without a reply.
  if (!impersonation->revert()) {
    log_.write("install_update: RevertToSelf failed; exiting");
    exit_.exit_now(1);
  }
  if (!contents) return fail(std::move(contents).error());
  return CallerPackage{*pid, std::move(contents).value()};
}

}  // namespace lumar
