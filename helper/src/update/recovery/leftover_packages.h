// The staged packages left in the temporary folders, and their ages.
//
// Every package is staged under a name that tells which helper staged it
// (update/staged_name.h), and is deleted when its installation is over. A
// package still there is therefore an update in flight, or the trace of one
// that its helper did not live to finish.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/expected.h"
#include "main/base/text.h"
#include "main/platform/clock.h"
#include "main/platform/environment.h"
#include "update/acceptance/staging.h"
#include "update/staged_name.h"

namespace lumar {

// An age of at most 1799 whole seconds is recent.
inline constexpr std::uint64_t kRecentPackageSeconds = 1800;
struct PackageAge {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

// A staged package file found in one of the temporary folders.
struct LeftoverPackage {
  OsString path;   // the folder joined with the entry's name
  PackageAge age;  // now minus its last write
};

inline bool is_recent(const LeftoverPackage& package) {
  return package.age.seconds < kRecentPackageSeconds;
}

struct FolderEntry {
  OsString name;                 // as the system gave it (WTF-8)
  std::uint64_t last_write = 0;  // FILETIME ticks, UTC
};

// The folders staged packages may be in, and their listings.
//
// Any local user may create files in "{SystemRoot}\Temp", so a name alone
// proves nothing: a planted staged name could hold back the hand-over
// or have the recovery parse a foreign package as SYSTEM. Only entries that
// the helper's own side owns are staged packages.
class LeftoverFolders {
 public:
  virtual ~LeftoverFolders() = default;
  // The helper's private folder in its temporary folder, where packages are
  // staged; and the temporary folder itself, where earlier versions staged
  // them.
  virtual Result<OsString> staging_folder() const = 0;
  virtual Result<OsString> temp_folder() const = 0;
  // Every entry of the folder, of any kind. Entries that cannot be read are
  // left out.
  virtual SystemResult<std::vector<FolderEntry>> list(const OsString& folder) const = 0;
  // Whether the entry's owner is LocalSystem, the Administrators group or
  // the account the helper runs as: owners that no unprivileged user can
  // give a file. Reads the owner of the entry itself (a link is not
  // followed) and nothing else; false when it cannot be read.
  virtual bool owned_by_helper(const OsString& path) const = 0;
};

// The staged packages in the staging folder, the temporary folder, then in
// "{SystemRoot}\SystemTemp" and "{SystemRoot}\Temp" when SystemRoot is set,
// folder by folder in listing order. A folder reached twice is listed twice.
// Never fails.
std::vector<LeftoverPackage> list_leftover_packages(const LeftoverFolders& folders,
                                                    const Environment& environment,
                                                    const Clock& clock);

// The installers' verbose logs, named as staged packages but ending in
// kStagedLogSuffix, in the same folders and by the same rules; `path` names
// the log.
std::vector<LeftoverPackage> list_leftover_logs(const LeftoverFolders& folders,
                                                const Environment& environment, const Clock& clock);

// Whether a staged package at most 1799 whole seconds old exists. The scan
// lists only the helper's own files, so a name planted by a user in a shared
// temporary folder cannot hold back the hand-over.
bool update_in_flight(const LeftoverFolders& folders, const Environment& environment,
                      const Clock& clock);

// The Windows implementation, built only for Windows.
std::unique_ptr<LeftoverFolders> make_win32_leftover_folders(StagingFolder& staging);

}  // namespace lumar
