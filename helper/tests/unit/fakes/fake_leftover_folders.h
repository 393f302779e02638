// The folders where packages may have been left behind, filled by the test.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <vector>

#include "update/recovery/leftover_packages.h"

namespace lumar::test {

// A folder the test has not filled cannot be listed.
class FakeLeftoverFolders final : public LeftoverFolders {
 public:
  std::optional<OsString> staging;  // nothing: the staging folder is unknown
  std::optional<OsString> temp;     // nothing: the temporary folder is unknown
  std::map<OsString, std::vector<FolderEntry>> folders;
  std::set<OsString> foreign;  // owned by someone other than the helper's side

  Result<OsString> staging_folder() const override {
    if (!staging) return fail("The system cannot find the path specified. (os error 3)");
    return *staging;
  }
  Result<OsString> temp_folder() const override {
    if (!temp) return fail("The system cannot find the path specified. (os error 3)");
    return *temp;
  }
  SystemResult<std::vector<FolderEntry>> list(const OsString& folder) const override {
    const auto it = folders.find(folder);
    if (it == folders.end()) return Unexpected(std::uint32_t{3});  // path not found
    return it->second;
  }
  bool owned_by_helper(const OsString& path) const override { return !foreign.contains(path); }
};

}  // namespace lumar::test
