// A file system of named paths, the helper's own executable among them
// unless a test takes it away. Deletions are recorded in the test's event
// list, where the test gives one, and leave the path's existence alone, so
// that a test sets up once what exists across several runs.
#pragma once

#include <set>
#include <utility>

#include "fakes/fake_log.h"
#include "main/platform/files.h"

namespace lumar::test {

inline const OsString kOwnHelperPath = R"(C:\Program Files\Lumar KQ\lumar-helper.exe)";

class FakeFiles final : public Files {
 public:
  explicit FakeFiles(Events* events = nullptr, OsString own = kOwnHelperPath)
      : own_path(own), existing{own}, events_(events) {}

  Result<OsString> own_path;
  std::set<OsString> existing;

  Result<OsString> own_executable_path() override { return own_path; }
  bool path_exists(const OsString& path) override { return existing.contains(path); }
  void delete_file(const OsString& path) override {
    if (events_ != nullptr) events_->push_back("delete " + path);
  }

 private:
  Events* events_;
};

}  // namespace lumar::test
