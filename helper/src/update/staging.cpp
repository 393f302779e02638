#include "update/staging.h"

#include <algorithm>
#include <array>

#include "main/helper_log.h"

namespace lumar {

std::string staged_package_name(std::uint32_t helper_pid, std::uint64_t unix_nanoseconds) {
  std::string name(kStagedPackagePrefix);
  name += std::to_string(helper_pid);
  name += '-';
  name += std::to_string(unix_nanoseconds);
  name += kStagedPackageSuffix;
  return name;
}

StagedFile::~StagedFile() {
  // The read handle shares nothing but reading, so the delete would fail
  // while it is open.
  reader_.reset();
  files_.delete_file(path_);
}

namespace {

Status write_all(StagingFile& file, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    Result<std::size_t> written = file.write(bytes);
    if (!written) return fail(std::move(written).error());
    if (*written == 0) return fail("failed to write whole buffer");
    bytes = bytes.subspan(std::min(*written, bytes.size()));
  }
  return {};
}

// Reads to the end of the file into one buffer allocated at the size the
// file should have. A file that is longer after all is still read whole (the
// second verification then fails on it) without a second large allocation
// for the common case: the end is found by a small probe read.
Result<Bytes> read_all(StagingFile& file, std::size_t expected_size) {
  Bytes contents(expected_size);
  std::size_t filled = 0;
  std::array<std::uint8_t, 4096> probe;
  for (;;) {
    const bool full = filled == contents.size();
    const std::span<std::uint8_t> target =
        full ? std::span<std::uint8_t>(probe) : std::span(contents).subspan(filled);
    Result<std::size_t> got = file.read(target);
    if (!got) return fail(std::move(got).error());
    const std::size_t count = std::min(*got, target.size());
    if (count == 0) break;
    if (full) {
      contents.insert(contents.end(), probe.begin(), probe.begin() + count);
    }
    filled += count;
  }
  contents.resize(filled);
  return contents;
}

}  // namespace

Result<StagedCopy> stage_package(StagingFileSystem& files, const Clock& clock,
                                 std::span<const std::uint8_t> bytes) {
  Result<OsString> folder = files.staging_folder();
  if (!folder) return fail("staging folder: " + std::move(folder).error());
  const OsString path = join_path(
      *folder, staged_package_name(files.current_process_id(), clock.unix_time_nanoseconds()));

  Result<std::unique_ptr<StagingFile>> writer = files.create_new(path);
  if (!writer) return fail("stage " + path + ": " + std::move(writer).error());
  // From here on the file is ours: every way out deletes it.
  auto staged = std::make_unique<StagedFile>(files, path);
  if (Status written = write_all(**writer, bytes); !written) {
    writer->reset();
    return fail("stage write: " + std::move(written).error());
  }
  writer->reset();

  Result<std::unique_ptr<StagingFile>> reader = files.open_for_reading(path);
  if (!reader) return fail("reopen staged package: " + std::move(reader).error());
  staged->hold(std::move(*reader));

  Result<Bytes> read_back = read_all(*staged->reader(), bytes.size());
  if (!read_back) return fail("read staged package: " + std::move(read_back).error());
  return StagedCopy{std::move(staged), std::move(*read_back)};
}

}  // namespace lumar
