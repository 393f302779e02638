// The full edition's Win32 adapters under Wine, on their own: the hosts file
// and the child programs.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include "main/base/text_win32.h"
#include "main/host_actions/child_programs.h"
#include "main/host_actions/hosts_block.h"
#include "main/host_actions/hosts_file.h"
#include "support/full_edition_wine_support.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

UniqueFile hold_open(const std::wstring& path, DWORD share) {
  return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

// ---------------------------------------------------------------------------
// The hosts-file adapter, on files of its own.

class Win32HostsFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<HostsFile> file = make_win32_hosts_file();
  std::wstring folder = make_temp_folder(L"hosts");
  std::wstring path = folder + L"\\hosts";
  std::string path_utf8 = narrow_lossy(path);
};

TEST_F(Win32HostsFileTest, ReadsWholeFilesAndTakesMissingOnesAsAbsent) {
  auto missing = file->read(path_utf8);
  ASSERT_TRUE(missing.has_value()) << missing.error();
  EXPECT_EQ(*missing, std::nullopt);
  auto no_folder = file->read(narrow_lossy(folder + L"\\nowhere\\hosts"));
  ASSERT_TRUE(no_folder.has_value()) << no_folder.error();
  EXPECT_EQ(*no_folder, std::nullopt);

  std::string big(3 * 65536 + 17, 'x');
  big[70000] = '\0';
  big[big.size() - 1] = '\xFF';
  write_file(path, big);
  auto read = file->read(path_utf8);
  ASSERT_TRUE(read.has_value()) << read.error();
  EXPECT_EQ(*read, big);
}

TEST_F(Win32HostsFileTest, AFileHeldWithoutSharingCannotBeRead) {
  write_file(path, "10.0.0.5 nas\n");
  const UniqueFile held = hold_open(path, 0);
  ASSERT_TRUE(held);
  auto read = file->read(path_utf8);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error(), os_error_text(ERROR_SHARING_VIOLATION));
}

TEST_F(Win32HostsFileTest, ReplacesInOneStepAndLeavesNothingBehind) {
  ASSERT_TRUE(file->replace(path_utf8, "first\n").has_value());
  EXPECT_EQ(read_file(path), "first\n");
  ASSERT_TRUE(file->replace(path_utf8, "second\n").has_value());
  EXPECT_EQ(read_file(path), "second\n");
  ASSERT_TRUE(file->replace(path_utf8, "").has_value());
  EXPECT_EQ(read_file(path), "");
  EXPECT_TRUE(leftovers(folder).empty());
}

TEST_F(Win32HostsFileTest, AReadOnlyFileIsRefusedAndUntouched) {
  write_file(path, "old\n");
  ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  const Status replaced = file->replace(path_utf8, "new\n");
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error(), os_error_text(ERROR_ACCESS_DENIED));
  EXPECT_EQ(read_file(path), "old\n");
  EXPECT_TRUE(leftovers(folder).empty());
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Win32HostsFileTest, AReplaceThatFailsAtTheLastStepKeepsTheOldFile) {
  // The new content is written out in full; only putting it in place fails,
  // because another program holds the file without sharing write or delete.
  const std::string old_content = "127.0.0.1 localhost\r\n10.0.0.5 nas\r\n";
  write_file(path, old_content);
  {
    const UniqueFile held = hold_open(path, FILE_SHARE_READ);
    ASSERT_TRUE(held);
    const Status replaced = file->replace(path_utf8, std::string(200000, 'n'));
    ASSERT_FALSE(replaced.has_value());
    EXPECT_NE(replaced.error().find("(os error "), std::string::npos) << replaced.error();
  }
  EXPECT_EQ(read_file(path), old_content);
  EXPECT_TRUE(leftovers(folder).empty());
}

TEST_F(Win32HostsFileTest, AMissingFolderIsAnError) {
  const Status replaced = file->replace(narrow_lossy(folder + L"\\nowhere\\hosts"), "x\n");
  ASSERT_FALSE(replaced.has_value());
  EXPECT_EQ(replaced.error(), os_error_text(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(names_in(folder).empty());
}

// ---------------------------------------------------------------------------
// The child-program adapter, on the stand-in tools beside this test program
// (the system's search finds them in the program's own folder).

// The adapter runs tools from the system folder only, so the stand-ins are
// put there for these tests, under names of their own.
class Win32ChildProgramsTest : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kStandIns[] = {L"fake_tasklist", L"fake_taskkill",
                                                 L"fake_ipconfig"};
  static std::wstring in_system_folder(const wchar_t* tool) {
    return system_folder() + L"\\" + tool + L".exe";
  }
  void SetUp() override {
    for (const wchar_t* tool : kStandIns) {
      ASSERT_TRUE(::CopyFileW(program_exe(tool).c_str(), in_system_folder(tool).c_str(), FALSE));
    }
    ::SetEnvironmentVariableW(L"LUMAR_FAKE_TOOLS_LOG", log_path.c_str());
  }
  void TearDown() override {
    ::SetEnvironmentVariableW(L"LUMAR_FAKE_TOOLS_LOG", nullptr);
    for (const wchar_t* tool : kStandIns) ::DeleteFileW(in_system_folder(tool).c_str());
  }

  std::unique_ptr<ChildPrograms> programs = make_win32_child_programs();
  std::wstring log_path = make_temp_folder(L"tools") + L"\\tools.log";
};

TEST_F(Win32ChildProgramsTest, CapturesOutputAndErrorAndTheExitCode) {
  auto listed = programs->run_captured(
      "fake_tasklist",
      {"/FI", "PID eq " + std::to_string(::GetCurrentProcessId()), "/FO", "CSV", "/NH"});
  ASSERT_TRUE(listed.has_value()) << listed.error().text;
  EXPECT_EQ(listed->exit_code, 0u);
  EXPECT_EQ(listed->output.rfind("\"lumar_wine_tests.exe\",\"", 0), 0u) << listed->output;

  // taskkill reports a missing process on standard error.
  auto missing = programs->run_captured("fake_taskkill", {"/F", "/T", "/PID", "4294967301"});
  ASSERT_TRUE(missing.has_value()) << missing.error().text;
  EXPECT_EQ(missing->exit_code, 128u);
  EXPECT_EQ(missing->output, "ERROR: The process \"4294967301\" not found.\r\n");
}

TEST_F(Win32ChildProgramsTest, PassesArgumentsThroughTheCommandLineIntact) {
  const std::vector<std::string> args = {
      "PID eq 7", "q\"uote", "back\\slash\\", "", "tail\\\\\"", "caf\xC3\xA9", "\t"};
  auto ran = programs->run("fake_ipconfig", args);
  ASSERT_TRUE(ran.has_value()) << ran.error();
  EXPECT_EQ(*ran, 1u);  // not "/flushdns": the stand-in refuses as ipconfig does
  std::string expected = "ipconfig:";
  for (std::size_t i = 0; i < args.size(); ++i) expected += (i == 0 ? " " : " | ") + args[i];
  EXPECT_EQ(read_file(log_path), expected + "\n");
}

TEST_F(Win32ChildProgramsTest, AProgramThatCannotStartIsTheSystemsError) {
  auto ran = programs->run("lumar-no-such-tool", {});
  ASSERT_FALSE(ran.has_value());
  EXPECT_EQ(ran.error(), os_error_text(ERROR_FILE_NOT_FOUND));
  auto captured = programs->run_captured("lumar-no-such-tool", {"x"});
  ASSERT_FALSE(captured.has_value());
  EXPECT_EQ(captured.error().kind, CaptureError::Kind::kNotStarted);
  EXPECT_EQ(captured.error().text, os_error_text(ERROR_FILE_NOT_FOUND));
}

TEST_F(Win32ChildProgramsTest, CapturesOutputLargerThanThePipeHolds) {
  // Read while the child writes: a child blocked on a full pipe would never
  // end, and the capture would wait for it for ever.
  std::string big;
  for (int i = 0; big.size() < 1024 * 1024; ++i) big += "line " + std::to_string(i) + "\r\n";
  const std::wstring path = make_temp_folder(L"big") + L"\\big.txt";
  write_file(path, big);
  auto typed = programs->run_captured("cmd", {"/c", "type", narrow_lossy(path)});
  ASSERT_TRUE(typed.has_value()) << typed.error().text;
  EXPECT_EQ(typed->exit_code, 0u);
  EXPECT_EQ(typed->output.size(), big.size());
  EXPECT_TRUE(typed->output == big);
}

}  // namespace
}  // namespace lumar::test
