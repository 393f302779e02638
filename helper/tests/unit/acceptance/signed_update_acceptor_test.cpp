// Update acceptance: what an accepted update leaves for the worker, and the
// paths around it (busy, a name reused, a stop, an exception).
#include <gtest/gtest.h>

#include "signed_update_acceptor_fixture.h"

namespace lumar::test {
namespace {

TEST_F(SignedUpdateAcceptorTest, ANewerPackageIsStagedHeldOpenAndHandedToTheWorker) {
  const Bytes bytes = package(kLite, "1.1.0");
  EXPECT_EQ(outcome(accept(bytes)), "ok");

  ASSERT_EQ(worker.jobs.size(), 1u);
  InstallJob& job = worker.jobs[0];
  ASSERT_TRUE(job.package);
  const OsString expected_path = kFirstStagedPath;
  EXPECT_EQ(job.package->path(), expected_path);
  EXPECT_EQ(files.files.at(expected_path), bytes);
  EXPECT_EQ(files.open_count[expected_path], 1) << "held with its read handle";
  const OsString expected_log = installer_log_path(kFirstStagedPath);
  EXPECT_EQ(job.package->log_path(), expected_log);
  EXPECT_EQ(files.files.count(expected_log), 1u) << "the log's name is taken, for msiexec";
  EXPECT_EQ(files.open_count[expected_log], 0);
  EXPECT_EQ(job.version, "1.1.0");
  EXPECT_EQ(job.caller.image_path, kLiteAppPath);
  EXPECT_EQ(job.caller.session_id, 2u);
  EXPECT_TRUE(job.caller.process);

  // One check, over the received bytes; the copy on disk was compared
  // with them instead of being checked again.
  EXPECT_THAT(signatures.checked, ElementsAre(bytes));
  EXPECT_THAT(installer.asked,
              ElementsAre("VersionString of " + kLite, "InstallLocation of " + kLite));
  // The acceptance was logged and stop refused before the worker started.
  EXPECT_THAT(worker.log_at_start, ElementsAre("install_update: accepted 1.1.0 from pid 4242"));
  EXPECT_THAT(worker.reports_at_start, ElementsAre(StatusReport::kRunningStopRefused));
  EXPECT_THAT(reports, ElementsAre(StatusReport::kRunningStopRefused));
  EXPECT_TRUE(control.update_in_progress.load()) << "the worker clears it";

  // Dropping the job closes the handle and deletes the file and the log.
  worker.jobs.clear();
  EXPECT_THAT(files.staged(), IsEmpty());
  EXPECT_EQ(processes.open_handles, 0);
}

TEST_F(SignedUpdateAcceptorTest, WhileAnUpdateRunsAnotherIsTurnedAwayWithoutATrace) {
  ASSERT_EQ(outcome(accept(package(kLite, "1.1.0"))), "ok");
  const auto lines_before = lines();
  const auto reports_before = reports;
  const auto creates_before = files.creates;

  EXPECT_EQ(outcome(accept(package(kLite, "1.2.0"))), refused(kUpdateBusy));
  EXPECT_EQ(lines(), lines_before);
  EXPECT_EQ(reports, reports_before);
  EXPECT_EQ(files.creates, creates_before);
  EXPECT_EQ(files.staged().size(), 2u) << "the first request's package and log";
  EXPECT_TRUE(control.update_in_progress.load());
  EXPECT_EQ(worker.jobs.size(), 1u);
  EXPECT_EQ(signatures.checked.size(), 1u) << "no check at all for the busy request";
}

TEST_F(SignedUpdateAcceptorTest, AStagedNameIsNeverReused) {
  ASSERT_EQ(outcome(accept(package(kLite, "1.1.0"))), "ok");
  const OsString first = worker.jobs[0].package->path();
  worker.jobs[0].lease.release();  // as the worker does at its end
  ASSERT_EQ(outcome(accept(package(kLite, "1.1.0", "again"))), "ok");
  EXPECT_NE(worker.jobs[1].package->path(), first);
}

TEST_F(SignedUpdateAcceptorTest, EditionsAndTheCaseOfTheUpgradeCode) {
  // Either edition's package is accepted by this helper, and a lower-case
  // code is asked of Windows Installer exactly as the package wrote it.
  const std::string lower_full = ascii_lower(kFull);
  installer.products[lower_full] = {{{"VersionString", "3.0"}, {"InstallLocation", kAppFolder}}};
  ASSERT_EQ(outcome(accept(package(lower_full, "3.1"))), "ok");
  EXPECT_THAT(installer.asked,
              ElementsAre("VersionString of " + lower_full, "InstallLocation of " + lower_full));
  EXPECT_EQ(worker.jobs[0].upgrade_code, lower_full) << "the worker asks for the app's folder";

  worker.jobs.clear();
  installer.products[kFull] = {{{"VersionString", "3.0"}, {"InstallLocation", kAppFolder}}};
  EXPECT_EQ(outcome(accept(package(kFull, "3.0.1"))), "ok");
  EXPECT_EQ(worker.jobs.size(), 1u);
}

TEST_F(SignedUpdateAcceptorTest, TheSameVersionFromTheInstalledFolderOnlyRestartsTheApp) {
  // Install location with a trailing backslash and other letter case.
  installer.products[kLite] = {
      {{"VersionString", "1.1.0"}, {"InstallLocation", R"(c:\program files\LUMAR KQ LITE\\)"}}};
  ASSERT_EQ(outcome(accept(package(kLite, "1.1"))), "ok");

  ASSERT_EQ(worker.jobs.size(), 1u);
  EXPECT_TRUE(worker.jobs[0].restart_only);
  EXPECT_EQ(worker.jobs[0].version, "1.1");
  // Kept until the app is back: it lets the recovery start the app should
  // the helper die while the app is closed.
  EXPECT_TRUE(worker.jobs[0].package);
  EXPECT_EQ(worker.staged_at_start.size(), 2u) << "the package and its log";
  EXPECT_THAT(lines(), ElementsAre("install_update: 1.1 is already installed; restarting pid "
                                   "4242 on it"));
  EXPECT_THAT(reports, ElementsAre(StatusReport::kRunningStopRefused));
  EXPECT_TRUE(control.update_in_progress.load());
}

TEST_F(SignedUpdateAcceptorTest, TheAppIsKnownByItsFileNameInAnyAsciiCase) {
  processes.find(kCallerPid)->image = R"(C:\PROGRAM FILES\Lumar KQ Lite\LUMAR-Desktop.EXE)";
  EXPECT_EQ(outcome(accept(package(kLite, "1.1.0"))), "ok");
}

TEST_F(SignedUpdateAcceptorTest, AnExceptionGivesEverythingBackAndGoesOn) {
  files.faults.throw_on_read = true;
  EXPECT_THROW(accept(package(kLite, "1.1.0")), std::bad_alloc);
  EXPECT_THAT(files.staged(), IsEmpty());
  EXPECT_FALSE(control.update_in_progress.load());
  EXPECT_THAT(reports, ElementsAre(StatusReport::kRunning));
  EXPECT_EQ(processes.open_handles, 0);
  EXPECT_THAT(worker.jobs, IsEmpty());
}

// Another user may create files in the temporary folder: a name that is
// already there, the package's or its log's, is never used or touched.
TEST_F(SignedUpdateAcceptorTest, ANameThatAlreadyExistsIsRefusedAndTheOtherFileKept) {
  const OsString package_path = kFirstStagedPath;
  const OsString log_path = installer_log_path(kFirstStagedPath);
  const struct {
    OsString taken;
    std::vector<OsString> deleted;  // what this request had made by then
  } cases[] = {{package_path, {}}, {log_path, {package_path}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.taken);
    files.files = {{c.taken, {1, 2, 3}}};
    files.foreign = {c.taken};
    files.deleted.clear();
    clock.unix_ns = kUnixTime;
    expect_refused(accept(package(kLite, "1.1.0")),
                   "stage " + c.taken + ": The file exists. (os error 80)");
    EXPECT_EQ(files.files.at(c.taken), (Bytes{1, 2, 3}));
    EXPECT_EQ(files.deleted, c.deleted);
  }
}

TEST_F(SignedUpdateAcceptorTest, OnceAStopIsAcceptedNoUpdateStarts) {
  control.stop_requested = true;
  const Reply reply = accept(package(kLite, "1.1.0"));
  EXPECT_EQ(outcome(reply), refused(kHelperStopping));
  EXPECT_THAT(lines(), ElementsAre(std::string("install_update: refused: ") + kHelperStopping));
  EXPECT_FALSE(control.update_in_progress.load());
  EXPECT_THAT(reports, IsEmpty()) << "a stopping service reports nothing more";
  EXPECT_EQ(files.creates, 0);
  EXPECT_THAT(signatures.checked, IsEmpty());
}

TEST_F(SignedUpdateAcceptorTest, AForegroundHelperHasNoStatusToReport) {
  ServiceControlState foreground;
  SignedUpdateAcceptor plain{UpdateAcceptorContext{
      foreground, log, clock, files, installer, processes, worker,
      [this](std::span<const std::uint8_t> bytes, std::string_view signature) {
        return signatures.check(bytes, signature);
      }}};
  EXPECT_EQ(plain.accept_update(package(kLite, "0.1"), "good", caller(), nullptr).error,
            "package 0.1 is not newer than the installed 1.0.0");
  EXPECT_FALSE(foreground.update_in_progress.load());
  EXPECT_EQ(outcome(plain.accept_update(package(kLite, "1.1.0"), "good", caller(), nullptr)), "ok");
  EXPECT_TRUE(foreground.update_in_progress.load());
  EXPECT_THAT(reports, IsEmpty());
  worker.jobs.clear();  // its lease gives back this test's own state, before it goes
}

}  // namespace
}  // namespace lumar::test
