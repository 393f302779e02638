// What the tests of update acceptance share: constants, a stand-in for the
// signature check, and a fixture over fakes of everything around the
// acceptor: an in-memory staging folder that keeps Windows' sharing rules, a
// fake installer, fake processes and a worker that keeps the job. The real
// msi.dll, real packages and real signatures are exercised under Wine; these
// cover every refusal and the failures no real system produces on demand.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_installer.h"
#include "fakes/fake_log.h"
#include "fakes/fake_processes.h"
#include "fakes/fake_service_status.h"
#include "fakes/fake_staging_folder.h"
#include "fakes/fake_updates.h"
#include "fakes/test_products.h"
#include "update/acceptance/signed_update_acceptor.h"
#include "update/staged_name.h"

namespace lumar::test {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

inline const OsString kFolder = FakeStagingFolder().folder;
inline const std::uint32_t kHelperPid = FakeStagingFolder().helper_pid;
inline constexpr std::uint32_t kCallerPid = 4242;
inline constexpr std::uint64_t kUnixTime = 1780000000000000000;
inline constexpr std::uint64_t kUnixTimeStep = 1000;
// Where a test's first request stages its package: the clock has stepped once.
inline const OsString kFirstStagedPath =
    kFolder + staged_package_name(kHelperPid, kUnixTime + kUnixTimeStep);
inline const std::string kAppFolder = R"(C:\Program Files\Lumar KQ Lite)";
inline const std::string kLiteAppPath = kAppFolder + R"(\lumar-desktop.exe)";
inline constexpr std::string_view kMismatch = "signature does not match the Lumar updater key";

inline Bytes msi_bytes(std::string_view tail = "package body") {
  Bytes bytes{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

// Replies as text, so that a failing comparison shows the reason.
inline std::string outcome(const Reply& reply) {
  return reply.ok ? "ok" : "error: " + reply.error.value_or("(none)");
}
inline std::string refused(std::string_view reason) { return "error: " + std::string(reason); }

// A stand-in for the minisign check: a package verifies when the signature
// member is "good" and the bytes are exactly the ones that were signed.
struct SignedBytes {
  std::vector<Bytes> signed_packages;
  std::vector<Bytes> checked;

  Status check(std::span<const std::uint8_t> package, std::string_view signature) {
    checked.emplace_back(package.begin(), package.end());
    if (signature != "good") return fail("signature: Invalid symbol 32, offset 9.");
    for (const Bytes& bytes : signed_packages) {
      if (std::equal(bytes.begin(), bytes.end(), package.begin(), package.end())) return {};
    }
    return fail(std::string(kMismatch));
  }
};

class SignedUpdateAcceptorTest : public ::testing::Test {
 public:
  SignedUpdateAcceptorTest() {
    // Each staged name takes a new Unix time.
    clock.unix_ns = kUnixTime;
    clock.unix_ns_step = kUnixTimeStep;
    control.set_status_handle(std::make_unique<test::FakeStatusSink>(reports));
    // The staged path is new each time: the fake installer knows a package
    // by its content.
    installer.package_key = [this](const OsString& path) {
      EXPECT_GT(files.open_count[path], 0) << "the staged package must be held open";
      const Bytes& contents = files.files.at(path);
      return OsString(contents.begin(), contents.end());
    };
    processes.add({.pid = kCallerPid, .image = kLiteAppPath, .session = 2});
    installer.products[kLite] = {
        {{"VersionString", "1.0.0"}, {"InstallLocation", kAppFolder + "\\"}}};
    worker.on_start = [this] {
      worker.log_at_start = lines();
      worker.reports_at_start = reports;
      worker.staged_at_start = files.staged();
    };
  }

  // A signed package whose Property table says `code` and `version`.
  Bytes package(std::string code, std::string version, std::string_view tag = "") {
    Bytes bytes = msi_bytes(std::string(tag) + code + version);
    installer.packages.insert_or_assign(OsString(bytes.begin(), bytes.end()),
                                        MsiPackageInfo{std::move(code), std::move(version)});
    signatures.signed_packages.push_back(bytes);
    return bytes;
  }

  // The caller as the caller step hands it over: opened when it asked.
  OpenedCaller caller(std::uint32_t pid = kCallerPid) {
    return OpenedCaller{pid, *processes.open(pid, ProcessAccess::kControl)};
  }
  Reply accept(Bytes bytes, std::string signature = "good") {
    return acceptance.accept_update(std::move(bytes), signature, caller(), nullptr);
  }

  const std::vector<std::string>& lines() const { return recording.lines(); }

  // What every refusal after the busy check must leave behind.
  void expect_refused(const Reply& reply, std::string_view reason) {
    EXPECT_EQ(outcome(reply), refused(reason));
    ASSERT_FALSE(lines().empty());
    EXPECT_EQ(lines().back(), "install_update: refused: " + std::string(reason));
    EXPECT_THAT(files.staged(), IsEmpty()) << "a staged file was left behind";
    EXPECT_FALSE(control.update_in_progress.load());
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), StatusReport::kRunning) << "stop acceptance not restored";
    EXPECT_THAT(worker.jobs, IsEmpty());
    EXPECT_EQ(processes.open_handles, 0);
  }

  ServiceControlState control;
  std::vector<StatusReport> reports;
  test::RecordingLog recording;
  // The acceptor's clock names the staged files; the log reads the same one.
  test::FakeClock& clock = recording.clock;
  HelperLog& log = recording.log;
  test::FakeStagingFolder files;
  test::FakeWindowsInstaller installer;
  test::FakeProcesses processes;
  test::KeepingWorker worker;
  SignedBytes signatures;
  SignedUpdateAcceptor acceptance{UpdateAcceptorContext{
      control, log, clock, files, installer, processes, worker,
      [this](std::span<const std::uint8_t> bytes, std::string_view signature) {
        return signatures.check(bytes, signature);
      },
      [](const PackageDigest& digest, std::string_view signature) {
        return verify_package_digest(digest, signature);
      },
      // The stand-in's "good" names the updater key; anything else is
      // judged against the built-in one.
      [](std::string_view signature) {
        return signature == "good" ? Status() : check_signature_key(signature);
      }}};
};

}  // namespace lumar::test
