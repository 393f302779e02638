// The real log file adapter under Wine: it writes neither through a linked
// folder nor through a linked file, and a full file is renamed by its
// handle. Wine follows a Unix symbolic link inside the prefix as Windows
// follows a junction or a file link, so the links here are made with ln.
// Wine has one user and no access lists: the owner rules are tested against
// the log's fake instead.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include "fakes/fake_clock.h"
#include "fakes/fake_environment.h"
#include "main/base/text_win32.h"
#include "main/platform/log_file.h"
#include "main/service/helper_log.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

// Runs a Unix shell script (Wine starts a program given its Unix path).
// Wine's handle to a Unix child does not wait for its end, so the script
// leaves a mark when done and that mark is awaited.
void run_unix(const std::wstring& script) {
  static int runs = 0;
  const std::wstring mark = L"/tmp/lumar-log-links-" + std::to_wstring(::GetCurrentProcessId()) +
                            L"-done-" + std::to_wstring(++runs);
  std::wstring command_line = L"/bin/sh -c \"" + script + L" ; touch " + mark + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessW(L"Z:\\bin\\sh", command_line.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &process));
  const UniqueHandle thread(process.hThread), owned(process.hProcess);
  std::wstring windows_mark = L"Z:" + mark;
  for (wchar_t& c : windows_mark) c = c == L'/' ? L'\\' : c;
  ASSERT_TRUE(wait_until(std::chrono::seconds(10), [&] { return file_exists(windows_mark); }));
  ::DeleteFileW(windows_mark.c_str());
}

// A folder of its own under Wine's Z: drive, whose Unix path is plain.
class LogFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    unix_root_ = L"/tmp/lumar-log-links-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(::GetTickCount64());
    run_unix(L"mkdir -p " + unix_root_ + L"/data " + unix_root_ + L"/elsewhere");
    environment_.values["ProgramData"] = narrow_lossy(windows(L"/data"));
  }
  void TearDown() override { run_unix(L"rm -rf " + unix_root_); }

  std::wstring windows(const std::wstring& unix_tail) const {
    std::wstring path = L"Z:" + unix_root_ + unix_tail;
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
  }
  void log(std::string_view message) { HelperLog(environment_, clock_, *file_).write(message); }

  std::wstring unix_root_;
  FakeEnvironment environment_;
  FakeClock clock_;
  std::unique_ptr<LogFile> file_ = make_win32_log_file();
};

TEST_F(LogFolders, WritesNeitherThroughALinkedFolderNorALinkedFile) {
  write_file(windows(L"/elsewhere/marker"), "m");
  run_unix(L"ln -s " + unix_root_ + L"/elsewhere " + unix_root_ + L"/data/Lumar");
  ASSERT_TRUE(file_exists(windows(L"/data/Lumar/marker"))) << "the link leads elsewhere";
  log("service: through a linked folder");
  EXPECT_FALSE(file_exists(windows(L"/elsewhere/helper.log")));

  run_unix(L"rm " + unix_root_ + L"/data/Lumar");
  log("service: running");
  EXPECT_EQ(read_file(windows(L"/data/Lumar/helper.log")),
            "2024-03-05 07:08:09 service: running\n");

  write_file(windows(L"/elsewhere/win.ini"), "[fonts]\n");
  run_unix(L"rm " + unix_root_ + L"/data/Lumar/helper.log");
  run_unix(L"ln -s " + unix_root_ + L"/elsewhere/win.ini " + unix_root_ +
           L"/data/Lumar/helper.log");
  ASSERT_EQ(read_file(windows(L"/data/Lumar/helper.log")), "[fonts]\n");
  log("install_update: refused: through a linked file");
  EXPECT_EQ(read_file(windows(L"/elsewhere/win.ini")), "[fonts]\n");

  run_unix(L"rm " + unix_root_ + L"/data/Lumar/helper.log");
  run_unix(L"ln " + unix_root_ + L"/elsewhere/win.ini " + unix_root_ + L"/data/Lumar/helper.log");
  ASSERT_EQ(read_file(windows(L"/data/Lumar/helper.log")), "[fonts]\n");
  log("install_update: refused: through a second name");
  EXPECT_EQ(read_file(windows(L"/elsewhere/win.ini")), "[fonts]\n");
}

TEST_F(LogFolders, RenamesAFullFileToTheOldLog) {
  log("service: first");
  const std::wstring path = windows(L"/data/Lumar/helper.log");
  write_file(path, std::string(kMaxLogFileBytes - 10, 'x'));
  write_file(windows(L"/data/Lumar/helper.old.log"), "an older one\n");
  log("service: past the limit");
  EXPECT_EQ(read_file(path), "2024-03-05 07:08:09 service: past the limit\n");
  EXPECT_EQ(read_file(windows(L"/data/Lumar/helper.old.log")).size(), kMaxLogFileBytes - 10);
}

}  // namespace
}  // namespace lumar::test
