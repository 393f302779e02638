// The installer's side of an update: Windows Installer (package properties,
// installed products, msiexec runs), the hand-over's program start and a
// staged package. Each records its acts in the test's event list, where the
// test gives one.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_log.h"
#include "main/platform/process_start.h"
#include "update/install/install_job.h"
#include "update/install/installer_worker.h"
#include "update/install/windows_installer.h"
#include "update/staged_name.h"

namespace lumar::test {

// An installed product: its attributes by name ("VersionString", ...).
using FakeProduct = std::map<std::string, std::string>;

struct InstallRun {
  OsString package;
  OsString log;
};

class FakeWindowsInstaller final : public WindowsInstaller {
 public:
  explicit FakeWindowsInstaller(Events* events = nullptr) : events_(events) {}

  // Packages by key, the path unless `package_key` tells another; a package
  // without an entry cannot be opened.
  std::map<OsString, Result<MsiPackageInfo>> packages;
  std::function<OsString(const OsString& path)> package_key;
  std::vector<OsString> packages_read;
  // Installed products by UpgradeCode, matched exactly, in the installer's order.
  std::map<std::string, std::vector<FakeProduct>> products;
  std::vector<std::string> asked;  // "{attribute} of {upgrade code}"
  // msiexec.
  Result<std::uint32_t> exit_code = std::uint32_t{0};
  std::function<void()> while_installing;  // what happens on the machine meanwhile
  std::vector<InstallRun> installs;

  Result<MsiPackageInfo> read_package_properties(const OsString& path) override {
    packages_read.push_back(path);
    const auto found = packages.find(package_key ? package_key(path) : path);
    if (found == packages.end()) return fail("open package (1619)");
    return found->second;
  }
  std::vector<std::string> related_product_info(std::string_view upgrade_code,
                                                std::string_view attribute) override {
    asked.push_back(std::string(attribute) + " of " + std::string(upgrade_code));
    std::vector<std::string> values;
    const auto family = products.find(std::string(upgrade_code));
    if (family == products.end()) return values;
    for (const FakeProduct& product : family->second) {
      const auto value = product.find(std::string(attribute));
      if (value != product.end()) values.push_back(value->second);
    }
    return values;
  }
  Result<std::uint32_t> install(const OsString& package, const OsString& log) override {
    installs.push_back({package, log});
    if (events_) events_->push_back("run installer");
    if (while_installing) while_installing();
    return exit_code;
  }

 private:
  Events* events_;
};

struct DetachedStart {
  OsString program;
  OsString command_line;
};

class FakeProgramStarter final : public ProgramStarter {
 public:
  explicit FakeProgramStarter(Events& events) : events_(events) {}
  Status detached_result;
  std::vector<DetachedStart> detached;

  Status start_detached(const OsString& program, const OsString& line) override {
    detached.push_back({program, line});
    events_.push_back("hand over");
    return detached_result;
  }

 private:
  Events& events_;
};

class FakeStagedPackage final : public StagedPackage {
 public:
  FakeStagedPackage(Events& events, OsString path)
      : events_(events), path_(std::move(path)), log_path_(installer_log_path(path_)) {}
  ~FakeStagedPackage() override {
    events_.push_back(keep_log_ ? "drop package, keep log" : "drop package and log");
  }
  const OsString& path() const override { return path_; }
  const OsString& log_path() const override { return log_path_; }
  void keep_log() override { keep_log_ = true; }

 private:
  Events& events_;
  OsString path_;
  OsString log_path_;
  bool keep_log_ = false;
};

}  // namespace lumar::test
