// The helper's private copy of a package: where it goes, what it is called,
// how it is written and read back, and how it disappears.
//
// A staged package is named after the helper's own process id (see
// update/staged_name.h) so that the recovery at the next service start can
// tell whether the helper that staged it is still running. It is created new
// (never over something that exists, never through a link), written, closed
// and opened again with read sharing only; through that handle it is
// compared with the verified bytes, and it stays held until the installer
// has ended: nobody can change, rename or delete it between the comparison
// and the installation.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "main/base/bytes.h"
#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/platform/clock.h"
#include "update/install/install_job.h"
#include "update/staged_name.h"

namespace lumar {

// The helper's own folder inside the temporary folder: packages are staged
// there, where no user may create, change or plant anything. The signature
// covers the .msi alone, and the installer, as SYSTEM, would read external
// cabinets or loose files from the package's folder.
inline constexpr std::string_view kPrivateStagingFolderName = "lumar-helper";

// An open file. Destroying it closes it. Errors are the system's description,
// "{message} (os error {code})".
class StagingFolderFile {
 public:
  virtual ~StagingFolderFile() = default;
  // Bytes written, possibly fewer than given.
  virtual Result<std::size_t> write(std::span<const std::uint8_t> bytes) = 0;
  // Bytes read; 0 at the end of the file.
  virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

// The file operations of staging. Errors are the system's description.
class StagingFolder {
 public:
  virtual ~StagingFolder() = default;
  // The temporary folder the system gives the helper's account.
  virtual Result<OsString> temp_folder() = 0;
  // kPrivateStagingFolderName inside temp_folder(), made if it is not there
  // with a protected DACL (SYSTEM and Administrators only), and used only
  // if it is a folder, no link or junction, owned by SYSTEM or
  // Administrators. The error says which of these failed.
  virtual Result<OsString> staging_folder() = 0;
  virtual std::uint32_t current_process_id() = 0;
  // Write access, shared with nobody; fails when anything of that name
  // exists, a link included, which is never followed.
  virtual Result<std::unique_ptr<StagingFolderFile>> create_new(const OsString& path) = 0;
  // Read access, shared for reading only; the file must exist. A link is
  // opened as itself, never followed.
  virtual Result<std::unique_ptr<StagingFolderFile>> open_for_reading(const OsString& path) = 0;
  // Failures are ignored: a staged package that cannot be deleted is left for
  // the recovery at the next service start.
  virtual void delete_file(const OsString& path) = 0;
};

// How much is written or read back at a time: large enough that the calls
// cost nothing next to the copying, small enough to stay in the caches.
inline constexpr std::size_t kStagingChunkBytes = std::size_t{8} << 20;

// Stages `verified`, the bytes whose signature has been checked: builds the
// path, creates the file new, takes the installer log's name beside it by
// creating that file new too, writes the package whole, closes it, opens it
// again for reading and reads it back in chunks, each compared with the
// verified bytes. The package comes back held open through that read
// handle. On failure nothing of this request is left on disk (a file that
// already had one of the names is not touched) and the error is one of
// "staging folder: {error}", "stage {path}: {error}" (the package's or the
// log's path), "stage write: {error}",
// "reopen staged package: {error}", "read staged package: {error}", or the
// signature mismatch text when what is on disk differs from what was
// verified.
Result<std::unique_ptr<StagedPackage>> stage_package(StagingFolder& files, const Clock& clock,
                                                     std::span<const std::uint8_t> verified);

// The Windows implementation, built only for Windows.
std::unique_ptr<StagingFolder> make_win32_staging_folder();

}  // namespace lumar
