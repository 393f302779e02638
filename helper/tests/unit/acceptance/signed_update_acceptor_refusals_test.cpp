// Update acceptance: every refusal, in the order the checks run, with what
// each leaves behind.
#include <gtest/gtest.h>

#include "signed_update_acceptor_fixture.h"
#include "update/acceptance/base64.h"

namespace lumar::test {
namespace {

// Real signatures made by the minisign command, by keys other than the
// updater key.
#include "../../data/signature_fixtures.inc"

struct Refusal {
  const char* name;
  std::function<Bytes(SignedUpdateAcceptorTest&)> arrange;
  std::string reason;
  std::string signature = "good";
  bool before_disk = false;  // refused before anything is written
};
void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

std::vector<Refusal> refusals() {
  const std::string stage_path = kFirstStagedPath;
  return {
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
       R"(the requesting process C:\Windows\System32\svchost.exe is not lumar-desktop.exe in )" +
           kAppFolder + "\\"},
      {"a newer version asked for by the same name elsewhere",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = R"(C:\Users\Public\evil\lumar-desktop.exe)";
         return t.package(kLite, "1.1.0");
       },
       R"(the requesting process C:\Users\Public\evil\lumar-desktop.exe is not )"
       R"(lumar-desktop.exe in )" +
           kAppFolder + "\\"},
      {"a newer version where the edition has no install location",
       [](auto& t) {
         t.installer.products[kLite][0].erase("InstallLocation");
         return t.package(kLite, "1.1.0");
       },
       "the requesting process " + kLiteAppPath + " is not lumar-desktop.exe"},
      {"the installed version asked for by another program in the installed folder",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = kAppFolder + R"(\lumar-desktop.exe.exe)";
         return t.package(kLite, "1.0.0");
       },
       "the requesting process " + kAppFolder +
           R"(\lumar-desktop.exe.exe is not lumar-desktop.exe in )" + kAppFolder + "\\"},
      {"another program whose path holds a lone surrogate, shown as the system shows it",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = "C:\\Tools\\\xED\xA0\x80\\svchost.exe";
         return t.package(kLite, "1.1.0");
       },
       "the requesting process C:\\Tools\\\xEF\xBF\xBD\\svchost.exe is not lumar-desktop.exe in " +
           kAppFolder + "\\"},
      {"an older version asked for by another program keeps its own reason",
       [](auto& t) {
         t.processes.find(kCallerPid)->image = R"(C:\Windows\System32\svchost.exe)";
         return t.package(kLite, "0.9");
       },
       "package 0.9 is not newer than the installed 1.0.0"},
  };
}

class EveryRefusal : public SignedUpdateAcceptorTest,
                     public ::testing::WithParamInterface<Refusal> {};

TEST_P(EveryRefusal, IsLoggedAndLeavesNothingBehind) {
  const Refusal& c = GetParam();
  const Bytes bytes = c.arrange(*this);
  expect_refused(accept(bytes, c.signature), c.reason);
  if (c.before_disk) EXPECT_EQ(files.creates, 0) << "something was written";
  if (c.reason.starts_with("start the installer")) {
    EXPECT_THAT(lines(), ElementsAre("install_update: accepted 1.1.0 from pid 4242",
                                     "install_update: refused: " + c.reason));
    EXPECT_THAT(reports, ElementsAre(StatusReport::kRunningStopRefused, StatusReport::kRunning));
  } else {
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_THAT(reports, ElementsAre(StatusReport::kRunning));
  }
}

INSTANTIATE_TEST_SUITE_P(InCheckOrder, EveryRefusal, ::testing::ValuesIn(refusals()));

// Before the package is opened: a signature of another key, or one that does
// not parse, is refused and logged; while an update runs the request is
// turned away without a line; a good one goes on to the read.
TEST_F(SignedUpdateAcceptorTest, TheKeyIsComparedBeforeThePackageIsRead) {
  struct Case {
    std::string signature;
    bool busy;
    std::string expected;  // "ok" or the refusal
    bool logged;
  };
  const std::vector<Case> cases = {
      {"good", false, "ok", false},
      {encode_base64(kOtherKeySignature), false, std::string(kMismatch), true},
      {"not base64", false, check_signature_key("not base64").error(), true},
      {encode_base64(kOtherKeySignature), true, kUpdateBusy, false},
  };
  for (const Case& c : cases) {
    recording.file.messages.clear();
    UpdateLease held = c.busy ? UpdateLease::acquire(control) : UpdateLease();
    const Status checked = acceptance.check_before_read(c.signature);
    EXPECT_EQ(checked.has_value() ? "ok" : checked.error(), c.expected) << c.signature;
    EXPECT_EQ(lines(), c.logged ? std::vector<std::string>{"install_update: refused: " + c.expected}
                                : std::vector<std::string>{})
        << c.signature;
    EXPECT_EQ(control.update_in_progress.load(), c.busy);
  }
  EXPECT_EQ(files.creates, 0);
}

// A client can send refused requests at will: the early refusal is held to
// the log's bound for such lines like every other refusal.
TEST_F(SignedUpdateAcceptorTest, AFloodOfEarlyRefusalsIsHeldToTheLogsBound) {
  recording.file.messages.clear();
  for (int i = 0; i < 100; ++i)
    (void)acceptance.check_before_read(encode_base64(kOtherKeySignature));
  EXPECT_EQ(lines().size(), 60u);
}

}  // namespace
}  // namespace lumar::test
