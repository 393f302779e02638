#include "update/recovery/leftover_packages.h"

#include "main/base/windows_paths.h"

namespace lumar {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10'000'000;

void list_folder(const LeftoverFolders& folders, const OsString& folder, std::string_view suffix,
                 std::uint64_t now, std::vector<LeftoverPackage>& out) {
  const SystemResult<std::vector<FolderEntry>> entries = folders.list(folder);
  if (!entries.has_value()) return;
  for (const FolderEntry& entry : *entries) {
    if (!is_staged_name(entry.name, suffix)) continue;
    if (entry.last_write > now) continue;  // written "in the future": not ours to judge
    OsString path = join_path(folder, entry.name);
    if (!folders.owned_by_helper(path)) continue;  // someone else's: neither used nor deleted
    const std::uint64_t ticks = now - entry.last_write;
    out.push_back(
        {std::move(path),
         {ticks / kTicksPerSecond, static_cast<std::uint32_t>((ticks % kTicksPerSecond) * 100)}});
  }
}

std::vector<LeftoverPackage> list_staged_files(const LeftoverFolders& folders,
                                               const Environment& environment, const Clock& clock,
                                               std::string_view suffix) {
  std::vector<OsString> scan;
  if (Result<OsString> staging = folders.staging_folder(); staging.has_value()) {
    scan.push_back(*staging);
  }
  // Where earlier versions staged packages, straight in the temporary folder.
  if (Result<OsString> temp = folders.temp_folder(); temp.has_value()) scan.push_back(*temp);
  if (std::optional<std::string> root = environment.get("SystemRoot")) {
    scan.push_back(join_path(*root, "SystemTemp"));
    scan.push_back(join_path(*root, "Temp"));
  }
  const std::uint64_t now = clock.system_time_filetime();
  std::vector<LeftoverPackage> found;
  for (const OsString& folder : scan) list_folder(folders, folder, suffix, now, found);
  return found;
}

}  // namespace

std::vector<LeftoverPackage> list_leftover_packages(const LeftoverFolders& folders,
                                                    const Environment& environment,
                                                    const Clock& clock) {
  return list_staged_files(folders, environment, clock, kStagedPackageSuffix);
}

std::vector<LeftoverPackage> list_leftover_logs(const LeftoverFolders& folders,
                                                const Environment& environment,
                                                const Clock& clock) {
  return list_staged_files(folders, environment, clock, kStagedLogSuffix);
}

bool update_in_flight(const LeftoverFolders& folders, const Environment& environment,
                      const Clock& clock) {
  for (const LeftoverPackage& package : list_leftover_packages(folders, environment, clock)) {
    if (is_recent(package)) return true;
  }
  return false;
}

}  // namespace lumar
