// The staging folder in memory, for tests of what stages a package.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "main/base/bytes.h"
#include "update/acceptance/staging.h"
#include "update/staged_name.h"

namespace lumar::test {

struct FileFaults {
  std::optional<std::string> folder;      // staging_folder fails
  std::optional<std::string> create;      // create_new fails
  std::optional<std::string> write;       // the second write fails
  bool zero_write = false;                // a write takes nothing
  std::optional<std::string> reopen;      // open_for_reading fails
  std::optional<std::string> read;        // the read-back fails
  std::optional<Bytes> replaced_on_disk;  // someone changes the file between close and reopen
  bool throw_on_read = false;             // no memory while the copy is read back
};

// Files in memory, with the sharing rules that matter here: a file held
// with no sharing or read sharing cannot be deleted, and a new file fails
// on any existing name.
class FakeStagingFolder final : public StagingFolder {
 public:
  OsString folder = R"(C:\Windows\SystemTemp\lumar-helper\)";
  std::uint32_t helper_pid = 3100;
  std::map<OsString, Bytes> files;
  std::map<OsString, int> open_count;
  FileFaults faults;
  int creates = 0;
  std::vector<OsString> deleted;
  std::set<OsString> foreign;  // not this helper's: never counted as staged

  Result<OsString> temp_folder() override { return OsString(R"(C:\Windows\SystemTemp\)"); }
  Result<OsString> staging_folder() override {
    if (faults.folder) return fail(*faults.folder);
    return folder;
  }
  std::uint32_t current_process_id() override { return helper_pid; }

  Result<std::unique_ptr<StagingFolderFile>> create_new(const OsString& path) override {
    ++creates;
    if (faults.create) return fail(*faults.create);
    if (files.count(path)) return fail("The file exists. (os error 80)");
    files[path];
    return std::unique_ptr<StagingFolderFile>(std::make_unique<File>(*this, path, true));
  }
  Result<std::unique_ptr<StagingFolderFile>> open_for_reading(const OsString& path) override {
    if (faults.reopen) return fail(*faults.reopen);
    if (faults.replaced_on_disk) files[path] = *faults.replaced_on_disk;
    if (!files.count(path)) return fail("The system cannot find the file specified. (os error 2)");
    return std::unique_ptr<StagingFolderFile>(std::make_unique<File>(*this, path, false));
  }
  void delete_file(const OsString& path) override {
    if (open_count[path] > 0) return;  // sharing violation: ignored by contract
    if (files.erase(path)) deleted.push_back(path);
  }

  std::vector<OsString> staged() const {
    std::vector<OsString> names;
    for (const auto& [path, bytes] : files) {
      if (path.starts_with(folder + std::string(kStagedPackagePrefix)) && !foreign.count(path)) {
        names.push_back(path);
      }
    }
    return names;
  }

 private:
  class File final : public StagingFolderFile {
   public:
    File(FakeStagingFolder& owner, OsString path, bool writer)
        : owner_(owner), path_(std::move(path)), writer_(writer) {
      ++owner_.open_count[path_];
    }
    ~File() override { --owner_.open_count[path_]; }

    Result<std::size_t> write(std::span<const std::uint8_t> bytes) override {
      EXPECT_TRUE(writer_);
      ++writes_;
      if (owner_.faults.zero_write) return std::size_t{0};
      if (owner_.faults.write && writes_ == 2) return fail(*owner_.faults.write);
      // Short writes: the caller must carry on with the rest.
      const std::size_t n = std::min<std::size_t>(bytes.size(), 5);
      Bytes& contents = owner_.files[path_];
      contents.insert(contents.end(), bytes.begin(), bytes.begin() + n);
      return n;
    }
    Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
      EXPECT_FALSE(writer_);
      if (owner_.faults.read) return fail(*owner_.faults.read);
      if (owner_.faults.throw_on_read) throw std::bad_alloc();
      const Bytes& contents = owner_.files[path_];
      const std::size_t n = std::min<std::size_t>({buffer.size(), contents.size() - offset_, 3});
      std::copy_n(contents.begin() + offset_, n, buffer.begin());
      offset_ += n;
      return n;
    }

   private:
    FakeStagingFolder& owner_;
    OsString path_;
    bool writer_;
    int writes_ = 0;
    std::size_t offset_ = 0;
  };
};

}  // namespace lumar::test
