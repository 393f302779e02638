// The installer's system side: msiexec runs and the staged package, each
// recorded in one event list.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_log.h"
#include "update/install_job.h"
#include "update/installer_worker.h"

namespace lumar::test {

struct Run {
  OsString program;
  OsString command_line;
};

class FakeInstaller final : public InstallerSystem {
 public:
  explicit FakeInstaller(Events& events) : events_(events) {}
  Result<std::uint32_t> exit_code = std::uint32_t{0};
  std::function<void()> while_running;  // what happens on the machine meanwhile
  std::optional<OsString> own_path = OsString(R"(C:\Program Files\Lumar KQ\lumar-helper.exe)");
  Status detached_result;
  std::vector<Run> runs;
  std::vector<Run> detached;
  std::vector<OsString> deleted;

  Result<std::uint32_t> run_and_wait(const OsString& program, const OsString& line) override {
    runs.push_back({program, line});
    events_.push_back("run installer");
    if (while_running) while_running();
    return exit_code;
  }
  Status start_detached(const OsString& program, const OsString& line) override {
    detached.push_back({program, line});
    events_.push_back("hand over");
    return detached_result;
  }
  void delete_file(const OsString& path) override {
    deleted.push_back(path);
    events_.push_back("delete " + path);
  }
  std::optional<OsString> own_executable_path() override { return own_path; }

 private:
  Events& events_;
};

class FakeStagedPackage final : public StagedPackage {
 public:
  FakeStagedPackage(Events& events, OsString path) : events_(events), path_(std::move(path)) {}
  ~FakeStagedPackage() override { events_.push_back("drop package"); }
  const OsString& path() const override { return path_; }

 private:
  Events& events_;
  OsString path_;
};

}  // namespace lumar::test
