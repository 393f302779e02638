#include "update/acceptance/staging.h"

#include <algorithm>
#include <array>

#include "main/base/windows_paths.h"
#include "main/service/helper_log.h"
#include "update/acceptance/signature.h"

namespace lumar {
namespace {

// A staged package on disk, and the log name taken beside it.
class HeldStagedPackage final : public StagedPackage {
 public:
  HeldStagedPackage(StagingFolder& files, OsString path)
      : files_(files), path_(std::move(path)), log_path_(installer_log_path(path_)) {}
  ~HeldStagedPackage() override {
    // The read handle shares nothing but reading, so the delete would fail
    // while it is open.
    reader_.reset();
    files_.delete_file(path_);
    if (log_taken_ && !keep_log_) files_.delete_file(log_path_);
  }
  HeldStagedPackage(const HeldStagedPackage&) = delete;
  HeldStagedPackage& operator=(const HeldStagedPackage&) = delete;

  const OsString& path() const override { return path_; }
  const OsString& log_path() const override { return log_path_; }
  void keep_log() override { keep_log_ = true; }

  void log_taken() { log_taken_ = true; }
  void hold(std::unique_ptr<StagingFolderFile> reader) { reader_ = std::move(reader); }
  StagingFolderFile& reader() const { return *reader_; }

 private:
  StagingFolder& files_;
  OsString path_;
  OsString log_path_;
  bool log_taken_ = false;
  bool keep_log_ = false;
  std::unique_ptr<StagingFolderFile> reader_;
};

Status write_all(StagingFolderFile& file, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    Result<std::size_t> written = file.write(bytes);
    if (!written.has_value()) return fail(std::move(written).error());
    if (*written == 0) return fail("failed to write whole buffer");
    bytes = bytes.subspan(std::min(*written, bytes.size()));
  }
  return {};
}

enum class Comparison { kSame, kDifferent };

// Whether the file holds exactly `expected`. Read in chunks, so the
// staged package never needs a second buffer of the package's size; a read may
// return fewer bytes than asked at any point.
Result<Comparison> holds_exactly(StagingFolderFile& file, std::span<const std::uint8_t> expected) {
  Bytes chunk(std::min(kStagingChunkBytes, expected.size() + 1));
  std::size_t compared = 0;
  for (;;) {
    // One byte more than is left, so that a longer file shows itself.
    const std::size_t want = std::min(chunk.size(), expected.size() - compared + 1);
    Result<std::size_t> got = file.read(std::span(chunk).first(want));
    if (!got.has_value()) return fail(std::move(got).error());
    const std::size_t count = std::min(*got, want);
    if (count == 0) return compared == expected.size() ? Comparison::kSame : Comparison::kDifferent;
    if (count > expected.size() - compared) return Comparison::kDifferent;
    if (!std::equal(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count),
                    expected.begin() + static_cast<std::ptrdiff_t>(compared))) {
      return Comparison::kDifferent;
    }
    compared += count;
  }
}

}  // namespace

Result<std::unique_ptr<StagedPackage>> stage_package(StagingFolder& files, const Clock& clock,
                                                     std::span<const std::uint8_t> verified) {
  Result<OsString> folder = files.staging_folder();
  if (!folder.has_value()) return fail("staging folder: " + std::move(folder).error());
  const OsString path = join_path(
      *folder, staged_package_name(files.current_process_id(), clock.unix_time_nanoseconds()));

  Result<std::unique_ptr<StagingFolderFile>> writer = files.create_new(path);
  if (!writer.has_value()) {
    return fail("stage " + os_text_lossy(path) + ": " + std::move(writer).error());
  }
  // From here on the file is ours: every way out deletes it.
  auto staged = std::make_unique<HeldStagedPackage>(files, path);

  // msiexec writes its log as the service account, into a folder where any
  // user may create files. Left to msiexec, the name could be a user's file
  // already: read by its owner, or held open so that the installation fails
  // or waits for ever. So the name is taken now, new, like the package's.
  Result<std::unique_ptr<StagingFolderFile>> log = files.create_new(staged->log_path());
  if (!log.has_value()) {
    writer->reset();  // the package cannot be deleted while it is open
    return fail("stage " + os_text_lossy(staged->log_path()) + ": " + std::move(log).error());
  }
  log->reset();
  staged->log_taken();
  if (Status written = write_all(**writer, verified); !written.has_value()) {
    writer->reset();
    return fail("stage write: " + std::move(written).error());
  }
  writer->reset();

  // The installer opens the file for reading and shares it with no writer,
  // so no handle with write access may stay open. Between the close and
  // this open the file could be changed; the comparison below is made
  // through the read handle, which lets no writer in, and so proves what the
  // installer will read.
  Result<std::unique_ptr<StagingFolderFile>> reader = files.open_for_reading(path);
  if (!reader.has_value()) return fail("reopen staged package: " + std::move(reader).error());
  staged->hold(std::move(*reader));

  // It must be the bytes whose signature was checked, byte for byte.
  Result<Comparison> same = holds_exactly(staged->reader(), verified);
  if (!same.has_value()) return fail("read staged package: " + std::move(same).error());
  if (*same != Comparison::kSame) return fail(std::string(kSignatureMismatch));
  return std::unique_ptr<StagedPackage>(std::move(staged));
}

}  // namespace lumar
