#include "main/host_actions/process_termination.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_child_programs.h"

namespace lumar {
namespace {

using Call = FakeChildPrograms::Call;

// What the real tasklist prints for one process with "/FO CSV /NH".
std::string listed(std::string_view image) {
  return "\r\n\"" + std::string(image) + "\",\"612\",\"Services\",\"0\",\"5,412 K\"\r\n";
}

TEST(TasklistOutput, NameIsTheFirstQuotedFieldOfTheFirstLineWithAComma) {
  EXPECT_EQ(image_name_from_tasklist(listed("csrss.exe")), "csrss.exe");
  EXPECT_EQ(image_name_from_tasklist("\"a.exe\",\"1\"\n\"b.exe\",\"2\"\n"), "a.exe");
  // Messages without a comma and empty lines are passed over.
  EXPECT_EQ(image_name_from_tasklist(
                "INFO: No tasks are running which match the specified criteria.\r\n\r\n" +
                listed("notepad.exe")),
            "notepad.exe");
  // No closing quote: the name runs to the end of the line, CR excluded.
  EXPECT_EQ(image_name_from_tasklist("x,\"odd name.exe\r\n"), "odd name.exe");
  // The name is taken from the first quote, not from the first field.
  EXPECT_EQ(image_name_from_tasklist("junk,\"svchost.exe\",\"4\""), "svchost.exe");
  // Bytes that are not UTF-8 are replaced, not dropped.
  EXPECT_EQ(image_name_from_tasklist("\"caf\xE9.exe\",\"1\""), "caf\xEF\xBF\xBD.exe");
}

TEST(TasklistOutput, NamesNothingWhenNoLineQualifies) {
  EXPECT_EQ(image_name_from_tasklist(""), std::nullopt);
  EXPECT_EQ(image_name_from_tasklist("INFO: No tasks are running which match the specified "
                                     "criteria.\r\n"),
            std::nullopt);
  // The first line with a comma decides, even when it holds no quote.
  EXPECT_EQ(image_name_from_tasklist("a,b\n\"csrss.exe\",\"1\"\n"), std::nullopt);
  EXPECT_EQ(image_name_from_tasklist("\"\",\"1\"\n"), std::nullopt);
}

TEST(ProtectionKey, IgnoresCaseWhiteSpaceFolderAndExtension) {
  EXPECT_EQ(protection_key("SvcHost.EXE"), "svchost");
  EXPECT_EQ(protection_key(" \t System\u3000"), "system");
  EXPECT_EQ(protection_key("C:\\Windows\\System32\\csrss.exe"), "csrss");
  EXPECT_EQ(protection_key("C:/Program Files/Lumar KQ/Lumar KQ.exe"), "lumar kq");
  // Without ".exe" the folder part stays in the key.
  EXPECT_EQ(protection_key("C:\\Windows\\System32\\csrss"), "c:\\windows\\system32\\csrss");
  EXPECT_EQ(protection_key("explorer.exe.bak"), "explorer.exe.bak");
  // Lower case is Unicode's, not ASCII's: U+212A KELVIN SIGN is a "k".
  EXPECT_EQ(protection_key("\xE2\x84\xAA"
                           "ASVC.EXE"),
            "kasvc");
}

TEST(ProtectedProcesses, EveryListedNameIsRefusedWithTheNameAsListed) {
  const char* const names[] = {"lumar-helper",
                               "lumar kq",
                               "lumarkq",
                               "system",
                               "smss",
                               "csrss",
                               "wininit",
                               "winlogon",
                               "services",
                               "lsass",
                               "lsm",
                               "svchost",
                               "dwm",
                               "explorer",
                               "fontdrvhost",
                               "sihost",
                               "wininet",
                               "msmpeng",
                               "msmpsvc",
                               "windefend",
                               "securityhealthservice",
                               "smartscreen",
                               "mssense",
                               "sense",
                               "csagent",
                               "csfalconservice",
                               "csfalconcontainer",
                               "sentinelagent",
                               "sentinelservicehost",
                               "cb",
                               "cbcomms",
                               "repmgr",
                               "sophoshealth",
                               "savservice",
                               "mcshield",
                               "masvc",
                               "ccsvchst",
                               "avp",
                               "ekrn",
                               "mbamservice",
                               "elastic-endpoint",
                               "xagt"};
  ASSERT_EQ(std::size(names), kProtectedProcessList.size());
  for (std::string name : names) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& shown : {name, name + ".exe", "C:\\Windows\\" + name + ".EXE"}) {
      FakeChildPrograms programs;
      programs.answer("tasklist", {.output = listed(shown)});
      programs.answer("taskkill", {});
      EXPECT_EQ(terminate_process(77, programs),
                Reply::failure("refusing to terminate protected process '" + shown + "'"));
      EXPECT_EQ(programs.calls.size(), 1u) << shown;
    }
  }
}

TEST(ProtectedProcesses, OtherNamesAreNotProtected) {
  for (const char* name : {"lumar-desktop.exe", "notepad.exe", "svchost2.exe", "system32",
                           "C:\\x\\csrss", "cb.exe.old", "lumar_kq.exe"}) {
    EXPECT_FALSE(is_protected_process(name)) << name;
  }
}

class TerminateProcess : public ::testing::Test {
 protected:
  FakeChildPrograms programs;
};

TEST_F(TerminateProcess, PidsOutsideTheWindowsRangeRunNothing) {
  for (const std::uint64_t pid :
       {std::uint64_t{0}, std::uint64_t{4294967296}, std::uint64_t{18446744073709551615u}}) {
    EXPECT_EQ(terminate_process(pid, programs), Reply::failure("invalid pid")) << pid;
  }
  EXPECT_TRUE(programs.calls.empty());
}

TEST_F(TerminateProcess, LooksUpThenKillsTheTreeWithTheToolsArguments) {
  programs.answer("tasklist", {.output = listed("notepad.exe")});
  programs.answer("taskkill", {});
  EXPECT_EQ(terminate_process(4242, programs), Reply::success());
  EXPECT_THAT(
      programs.calls,
      ::testing::ElementsAre(Call{"tasklist", {"/FI", "PID eq 4242", "/FO", "CSV", "/NH"}, true},
                             Call{"taskkill", {"/F", "/T", "/PID", "4242"}, false}));
}

TEST_F(TerminateProcess, WithoutATaskListTheKillStillDecides) {
  // tasklist missing: no protection check, taskkill runs.
  programs.answer("taskkill", {});
  EXPECT_EQ(terminate_process(9, programs), Reply::success());
  ASSERT_EQ(programs.calls.size(), 2u);
  EXPECT_EQ(programs.calls[1].program, "taskkill");

  // tasklist's own exit code is not looked at; its output still is.
  FakeChildPrograms failing_list;
  failing_list.answer("tasklist", {.exit_code = 1, .output = listed("lsass.exe")});
  failing_list.answer("taskkill", {});
  EXPECT_EQ(terminate_process(9, failing_list),
            Reply::failure("refusing to terminate protected process 'lsass.exe'"));
}

TEST_F(TerminateProcess, AFailedCaptureRefusesAndKillsNothing) {
  // The helper's own pipe or read failed after tasklist was started: its
  // silence proves nothing, unlike a tasklist that cannot start at all.
  programs.answer("tasklist", {.capture_error = "Access is denied. (os error 5)"});
  programs.answer("taskkill", {});
  EXPECT_EQ(terminate_process(612, programs),
            Reply::failure("cannot check process 612 against the protected list: "
                           "Access is denied. (os error 5)"));
  EXPECT_EQ(programs.calls.size(), 1u);
}

TEST_F(TerminateProcess, TaskkillFailuresBecomeTheReply) {
  programs.answer("tasklist", {.output = listed("app.exe")});
  programs.answer("taskkill", {.exit_code = 1});
  EXPECT_EQ(terminate_process(5, programs), Reply::failure("taskkill failed (exit 1)"));

  // Exit codes are shown as signed 32-bit numbers.
  programs.answer("taskkill", {.exit_code = 0xC0000005u});
  EXPECT_EQ(terminate_process(5, programs), Reply::failure("taskkill failed (exit -1073741819)"));

  // A start failure is the system's description, unchanged.
  programs.answer("taskkill", {.start_error = "Access is denied. (os error 5)"});
  EXPECT_EQ(terminate_process(5, programs), Reply::failure("Access is denied. (os error 5)"));
}

}  // namespace
}  // namespace lumar
