// Acceptance of an update over fakes of everything around it: an in-memory
// staging folder that keeps Windows' sharing rules, a fake installer, fake
// processes and a worker that keeps the job. The real msi.dll, real packages
// and real signatures are exercised under Wine; these cover every refusal
// and the failures no real system produces on demand.
#include "update/signed_update_acceptor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <new>
#include <set>

#include "fakes/fake_clock.h"
#include "fakes/fake_environment.h"
#include "fakes/fake_installer.h"
#include "fakes/fake_log.h"
#include "fakes/fake_processes.h"
#include "fakes/fake_service_status.h"

namespace lumar {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::string_view kFolder = R"(C:\Windows\SystemTemp\)";
constexpr std::uint32_t kHelperPid = 3100;
constexpr std::uint32_t kCallerPid = 4242;
constexpr std::uint64_t kUnixTime = 1780000000000000000;
const std::string kFull = "{7A1E3C55-4B90-5F21-9D3A-61C04E8B2F17}";
const std::string kLite = "{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}";
const std::string kAppFolder = R"(C:\Program Files\Lumar KQ Lite)";
const std::string kAppPath = kAppFolder + R"(\lumar-desktop.exe)";
constexpr std::string_view kMismatch = "signature does not match the Lumar updater key";

Bytes msi_bytes(std::string_view tail = "package body") {
  Bytes bytes{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

// Replies as text, so that a failing comparison shows the reason.
std::string outcome(const Reply& reply) {
  return reply.ok ? "ok" : "error: " + reply.error.value_or("(none)");
}
std::string refused(std::string_view reason) { return "error: " + std::string(reason); }

// ---- staging folder ----------------------------------------------------

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
class FakeFiles final : public StagingFolder {
 public:
  std::map<OsString, Bytes> files;
  std::map<OsString, int> open_count;
  FileFaults faults;
  int creates = 0;
  std::vector<OsString> deleted;
  std::set<OsString> foreign;  // not this helper's: never counted as staged

  Result<OsString> staging_folder() override {
    if (faults.folder) return fail(*faults.folder);
    return OsString(kFolder);
  }
  std::uint32_t current_process_id() override { return kHelperPid; }

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
      if (path.starts_with(std::string(kFolder) + "lumar-update-") && !foreign.count(path)) {
        names.push_back(path);
      }
    }
    return names;
  }

 private:
  class File final : public StagingFolderFile {
   public:
    File(FakeFiles& owner, OsString path, bool writer)
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
    FakeFiles& owner_;
    OsString path_;
    bool writer_;
    int writes_ = 0;
    std::size_t offset_ = 0;
  };
};

// ---- processes, worker --------------------------------------------------

using test::FakeProcesses;

class KeepingWorker final : public InstallWorker {
 public:
  std::optional<std::string> failure;
  std::vector<InstallJob> jobs;
  // What the world looked like when the worker was asked to start.
  std::vector<std::string> log_at_start;
  std::vector<StatusReport> reports_at_start;
  std::vector<OsString> staged_at_start;
  std::function<void()> on_start;

  Status start(std::unique_ptr<InstallJob>& job) override {
    if (on_start) on_start();
    if (failure) return fail(*failure);
    jobs.push_back(std::move(*job));
    job.reset();
    return {};
  }
};

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
    clock.unix_ns_step = 1000;
    control.set_status_handle(std::make_unique<test::FakeStatusSink>(reports));
    // The staged path is new each time: the fake installer knows a package
    // by its content.
    installer.package_key = [this](const OsString& path) {
      EXPECT_GT(files.open_count[path], 0) << "the staged package must be held open";
      const Bytes& contents = files.files.at(path);
      return OsString(contents.begin(), contents.end());
    };
    processes.add({.pid = kCallerPid, .image = kAppPath, .session = 2});
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

  const std::vector<std::string>& lines() const { return log_file.messages; }

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
  test::FakeClock clock;
  test::FakeEnvironment environment;
  test::FakeLogFile log_file;
  HelperLog log{environment, clock, log_file};
  FakeFiles files;
  test::FakeWindowsInstaller installer;
  FakeProcesses processes;
  KeepingWorker worker;
  SignedBytes signatures;
  SignedUpdateAcceptor acceptance{UpdateAcceptorContext{
      control, log, clock, files, installer, processes, worker,
      [this](std::span<const std::uint8_t> bytes, std::string_view signature) {
        return signatures.check(bytes, signature);
      }}};
};

TEST_F(SignedUpdateAcceptorTest, ANewerPackageIsStagedHeldOpenAndHandedToTheWorker) {
  const Bytes bytes = package(kLite, "1.1.0");
  EXPECT_EQ(outcome(accept(bytes)), "ok");

  ASSERT_EQ(worker.jobs.size(), 1u);
  InstallJob& job = worker.jobs[0];
  ASSERT_TRUE(job.package);
  const OsString expected_path = std::string(kFolder) + "lumar-update-3100-1780000000000001000.msi";
  EXPECT_EQ(job.package->path(), expected_path);
  EXPECT_EQ(files.files.at(expected_path), bytes);
  EXPECT_EQ(files.open_count[expected_path], 1) << "held with its read handle";
  EXPECT_EQ(job.version, "1.1.0");
  EXPECT_EQ(job.caller.image_path, kAppPath);
  EXPECT_EQ(job.caller.session_id, 2u);
  EXPECT_TRUE(job.caller.process);

  // One check, over the received bytes; the copy on disk was compared
  // with them instead of being checked again.
  EXPECT_THAT(signatures.checked, ElementsAre(bytes));
  EXPECT_THAT(installer.asked, ElementsAre("VersionString of " + kLite));
  // The acceptance was logged and stop refused before the worker started.
  EXPECT_THAT(worker.log_at_start, ElementsAre("install_update: accepted 1.1.0 from pid 4242"));
  EXPECT_THAT(worker.reports_at_start, ElementsAre(StatusReport::kRunningStopRefused));
  EXPECT_THAT(reports, ElementsAre(StatusReport::kRunningStopRefused));
  EXPECT_TRUE(control.update_in_progress.load()) << "the worker clears it";

  // Dropping the job closes the handle and deletes the file.
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
  EXPECT_EQ(files.staged().size(), 1u);
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
  installer.products[lower_full] = {{{"VersionString", "3.0"}}};
  ASSERT_EQ(outcome(accept(package(lower_full, "3.1"))), "ok");
  EXPECT_THAT(installer.asked, ElementsAre("VersionString of " + lower_full));

  worker.jobs.clear();
  installer.products[kFull] = {{{"VersionString", "3.0"}}};
  EXPECT_EQ(outcome(accept(package(kFull, "3.0.1"))), "ok");
  EXPECT_EQ(worker.jobs.size(), 1u);
}

TEST_F(SignedUpdateAcceptorTest, TheSameVersionFromTheInstalledFolderOnlyRestartsTheApp) {
  // Install location with a trailing backslash and other letter case.
  installer.products[kLite] = {
      {{"VersionString", "1.1.0"}, {"InstallLocation", R"(c:\program files\LUMAR KQ LITE\\)"}}};
  ASSERT_EQ(outcome(accept(package(kLite, "1.1"))), "ok");

  ASSERT_EQ(worker.jobs.size(), 1u);
  EXPECT_FALSE(worker.jobs[0].package);
  EXPECT_EQ(worker.jobs[0].version, "1.1");
  EXPECT_THAT(worker.staged_at_start, IsEmpty()) << "the copy is deleted before the worker runs";
  EXPECT_THAT(lines(), ElementsAre("install_update: 1.1 is already installed; restarting pid "
                                   "4242 on it"));
  EXPECT_THAT(reports, ElementsAre(StatusReport::kRunningStopRefused));
  EXPECT_TRUE(control.update_in_progress.load());
}

TEST_F(SignedUpdateAcceptorTest, EveryRefusalIsLoggedAndLeavesNothingBehind) {
  struct Case {
    const char* name;
    std::function<Bytes(SignedUpdateAcceptorTest&)> arrange;
    std::string reason;
    std::string signature = "good";
    bool before_disk = false;  // refused before anything is written
  };
  const std::string stage_path = std::string(kFolder) + "lumar-update-3100-1780000000000001000.msi";
  const std::vector<Case> cases = {
      {"bad signature", [](auto& t) { return t.package(kLite, "1.1.0"); },
       "signature: Invalid symbol 32, offset 9.", "untrusted comment: x", true},
      {"other key", [](auto&) { return msi_bytes("never signed"); }, std::string(kMismatch), "good",
       true},
      {"signed but not an installer package",
       [](auto& t) {
         Bytes exe{'M', 'Z', 0x90, 0, 3, 0, 0, 0, 4, 0};
         t.signatures.signed_packages.push_back(exe);
         return exe;
       },
       "not a Windows Installer package", "good", true},
      {"shorter than the header",
       [](auto& t) {
         Bytes seven{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A};
         t.signatures.signed_packages.push_back(seven);
         return seven;
       },
       "not a Windows Installer package", "good", true},
      {"empty package",
       [](auto& t) {
         t.signatures.signed_packages.push_back({});
         return Bytes{};
       },
       "not a Windows Installer package", "good", true},
      {"no staging folder",
       [](auto& t) {
         t.files.faults.folder = "The system cannot find the path specified. (os error 3)";
         return t.package(kLite, "1.1.0");
       },
       "staging folder: The system cannot find the path specified. (os error 3)"},
      {"cannot create",
       [](auto& t) {
         t.files.faults.create = "Access is denied. (os error 5)";
         return t.package(kLite, "1.1.0");
       },
       "stage " + stage_path + ": Access is denied. (os error 5)"},
      {"write fails",
       [](auto& t) {
         t.files.faults.write = "There is not enough space on the disk. (os error 112)";
         return t.package(kLite, "1.1.0");
       },
       "stage write: There is not enough space on the disk. (os error 112)"},
      {"write takes nothing",
       [](auto& t) {
         t.files.faults.zero_write = true;
         return t.package(kLite, "1.1.0");
       },
       "stage write: failed to write whole buffer"},
      {"reopen fails",
       [](auto& t) {
         t.files.faults.reopen =
             "The process cannot access the file because it is being used "
             "by another process. (os error 32)";
         return t.package(kLite, "1.1.0");
       },
       "reopen staged package: The process cannot access the file because it is being used by "
       "another process. (os error 32)"},
      {"read-back fails",
       [](auto& t) {
         t.files.faults.read = "The device is not ready. (os error 21)";
         return t.package(kLite, "1.1.0");
       },
       "read staged package: The device is not ready. (os error 21)"},
      // The copy read back, three bytes at a time, must be the verified
      // bytes exactly: not another content, not one byte more or less.
      {"changed on disk before the comparison",
       [](auto& t) {
         t.files.faults.replaced_on_disk = msi_bytes("tampered");
         return t.package(kLite, "1.1.0");
       },
       std::string(kMismatch)},
      {"longer on disk",
       [](auto& t) {
         Bytes bytes = t.package(kLite, "1.1.0");
         t.files.faults.replaced_on_disk = bytes;
         t.files.faults.replaced_on_disk->push_back(0);
         return bytes;
       },
       std::string(kMismatch)},
      {"shorter on disk",
       [](auto& t) {
         Bytes bytes = t.package(kLite, "1.1.0");
         t.files.faults.replaced_on_disk = Bytes(bytes.begin(), bytes.end() - 1);
         return bytes;
       },
       std::string(kMismatch)},
      {"not an installer database",
       [](auto& t) {
         Bytes bytes = msi_bytes("broken database");
         t.installer.packages.insert_or_assign(OsString(bytes.begin(), bytes.end()),
                                               fail("open package (1627)"));
         t.signatures.signed_packages.push_back(bytes);
         return bytes;
       },
       "open package (1627)"},
      {"no ProductVersion",
       [](auto& t) {
         Bytes bytes = t.package(kLite, "");
         t.installer.packages.insert_or_assign(OsString(bytes.begin(), bytes.end()),
                                               fail("package has no ProductVersion"));
         return bytes;
       },
       "package has no ProductVersion"},
      {"another product",
       [](auto& t) { return t.package("{00000000-1111-2222-3333-444444444444}", "9.0"); },
       "package is not a Lumar KQ release (UpgradeCode {00000000-1111-2222-3333-444444444444})"},
      {"code without braces",
       [](auto& t) { return t.package("E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841", "9.0"); },
       "package is not a Lumar KQ release (UpgradeCode E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841)"},
      {"full edition not installed", [](auto& t) { return t.package(kFull, "9.0"); },
       "Lumar KQ is not installed through Windows Installer on this machine"},
      {"Lite not installed",
       [](auto& t) {
         t.installer.products.erase(kLite);
         return t.package(kLite, "9.0");
       },
       "Lumar KQ Lite is not installed through Windows Installer on this machine"},
      {"caller's path unreadable",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = test::fails_with(31);
         return t.package(kLite, "1.1.0");
       },
       "read the requesting process's path (31)"},
      {"caller's session unreadable",
       [](auto& t) {
         t.processes.find(kCallerPid)->session = test::fails_with(5);
         return t.package(kLite, "1.1.0");
       },
       "read the requesting process's session (5)"},
      {"older", [](auto& t) { return t.package(kLite, "0.9.9"); },
       "package 0.9.9 is not newer than the installed 1.0.0"},
      {"not a version", [](auto& t) { return t.package(kLite, "1.2.3-beta"); },
       "package 1.2.3-beta is not newer than the installed 1.0.0"},
      {"same version from another program",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = R"(C:\Users\u\Downloads\lumar-desktop.exe)";
         return t.package(kLite, "1.0.0");
       },
       "package 1.0.0 is not newer than the installed 1.0.0"},
      {"same version, no install location",
       [](auto& t) {
         t.installer.products[kLite][0].erase("InstallLocation");
         return t.package(kLite, "1.0.0.0");
       },
       "package 1.0.0.0 is not newer than the installed 1.0.0"},
      {"worker cannot start",
       [](auto& t) {
         t.worker.failure = "start the installer thread: Resource temporarily unavailable";
         return t.package(kLite, "1.1.0");
       },
       "start the installer thread: Resource temporarily unavailable"},
      {"a newer version asked for by another program",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = R"(C:\Windows\System32\svchost.exe)";
         return t.package(kLite, "1.1.0");
       },
       R"(the requesting process C:\Windows\System32\svchost.exe is not lumar-desktop.exe)"},
      {"the installed version asked for by another program in the installed folder",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = kAppFolder + R"(\lumar-desktop.exe.exe)";
         return t.package(kLite, "1.0.0");
       },
       "the requesting process " + kAppFolder +
           R"(\lumar-desktop.exe.exe is not lumar-desktop.exe)"},
      {"another program whose path holds a lone surrogate, shown as the system shows it",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = "C:\\Tools\\\xED\xA0\x80\\svchost.exe";
         return t.package(kLite, "1.1.0");
       },
       "the requesting process C:\\Tools\\\xEF\xBF\xBD\\svchost.exe is not lumar-desktop.exe"},
      {"an older version asked for by another program keeps its own reason",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = R"(C:\Windows\System32\svchost.exe)";
         return t.package(kLite, "0.9");
       },
       "package 0.9 is not newer than the installed 1.0.0"},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SignedUpdateAcceptorTest& t = *this;
    t.files.faults = {};
    t.processes.find(kCallerPid)->image = kAppPath;
    t.processes.find(kCallerPid)->session = 2u;
    t.installer.products[kLite] = {{{"VersionString", "1.0.0"}, {"InstallLocation", kAppFolder}}};
    t.worker.failure.reset();
    t.signatures = {};
    t.clock.unix_ns = kUnixTime;
    t.log_file.messages.clear();
    t.reports.clear();
    const int creates_before = t.files.creates;

    const Bytes bytes = c.arrange(t);
    expect_refused(accept(bytes, c.signature), c.reason);
    if (c.before_disk) EXPECT_EQ(t.files.creates, creates_before) << "something was written";
    if (c.reason.starts_with("start the installer")) {
      EXPECT_THAT(lines(), ElementsAre("install_update: accepted 1.1.0 from pid 4242",
                                       "install_update: refused: " + c.reason));
      EXPECT_THAT(reports, ElementsAre(StatusReport::kRunningStopRefused, StatusReport::kRunning));
    } else {
      EXPECT_EQ(lines().size(), 1u);
      EXPECT_THAT(reports, ElementsAre(StatusReport::kRunning));
    }
  }
}

TEST_F(SignedUpdateAcceptorTest, TheAppIsKnownByItsFileNameInAnyAsciiCase) {
  processes.find(kCallerPid)->image = R"(D:\Portable\LUMAR-Desktop.EXE)";
  EXPECT_EQ(outcome(accept(package(kLite, "1.1.0"))), "ok");
  EXPECT_FALSE(is_app_image(R"(C:\x\lumar-desktop.exe\other.exe)"));
  EXPECT_FALSE(is_app_image("xlumar-desktop.exe"));
  EXPECT_TRUE(is_app_image("lumar-desktop.exe"));
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

TEST_F(SignedUpdateAcceptorTest, ANameThatAlreadyExistsIsRefusedAndTheOtherFileKept) {
  const OsString taken = std::string(kFolder) + "lumar-update-3100-1780000000000001000.msi";
  files.files[taken] = {1, 2, 3};
  files.foreign.insert(taken);
  expect_refused(accept(package(kLite, "1.1.0")),
                 "stage " + taken + ": The file exists. (os error 80)");
  EXPECT_EQ(files.files.at(taken), (Bytes{1, 2, 3}));
  EXPECT_THAT(files.deleted, IsEmpty());
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
}

TEST(RunsFromFolder, ComparesTheParentFolderWithoutTrailingBackslashesOrAsciiCase) {
  EXPECT_TRUE(runs_from_folder(R"(C:\Program Files\Lumar\lumar-desktop.exe)",
                               R"(C:\Program Files\Lumar\)"));
  EXPECT_TRUE(runs_from_folder(R"(C:\Program Files\Lumar\lumar-desktop.exe)",
                               R"(c:\PROGRAM FILES\lumar\\\)"));
  EXPECT_TRUE(runs_from_folder(R"(C:\lumar-desktop.exe)", R"(C:\)"));
  // Subfolders, other folders, and no normalisation beyond the backslashes.
  EXPECT_FALSE(runs_from_folder(R"(C:\Program Files\Lumar\bin\lumar-desktop.exe)",
                                R"(C:\Program Files\Lumar\)"));
  EXPECT_FALSE(
      runs_from_folder(R"(C:\Program Files\Lumar\lumar-desktop.exe)", R"(C:/Program Files/Lumar)"));
  EXPECT_FALSE(
      runs_from_folder(R"(C:\PROGRA~1\Lumar\lumar-desktop.exe)", R"(C:\Program Files\Lumar)"));
  EXPECT_FALSE(runs_from_folder(R"(C:\Program Files\Lumar\lumar-desktop.exe)",
                                R"( C:\Program Files\Lumar)"));
  // Only A-Z fold: "Ä" and "ä" differ.
  EXPECT_FALSE(runs_from_folder("C:\\\xC3\x84pp\\lumar-desktop.exe", "C:\\\xC3\xA4pp"));
  EXPECT_TRUE(runs_from_folder("C:\\\xC3\x84pp\\lumar-desktop.exe", "c:\\\xC3\x84PP"));
}

}  // namespace
}  // namespace lumar
