// The real lumar-helper.exe under Wine, in the foreground: Wine's service
// dispatcher refuses a console process only after about ten seconds, so one
// helper serves the whole suite.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <thread>

#include "main/base/text_win32.h"
#include "service_wine_support.h"
#include "wine_harness.h"

namespace lumar::test {
namespace {

constexpr char kOk[] = R"({"ok":true})";
constexpr char kBadRequest[] = R"({"ok":false,"error":"bad request"})";

class ForegroundPipe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { helper_ = new ForegroundHelper(); }
  static void TearDownTestSuite() {
    delete helper_;
    helper_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(helper_->serving()) << "the helper never answered ping"; }

  static ForegroundHelper* helper_;
};
ForegroundHelper* ForegroundPipe::helper_ = nullptr;

TEST_F(ForegroundPipe, AnswersPingAndMalformedLinesWithExactlyOneReplyLine) {
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOk);
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\r\n"), kOk);
  EXPECT_EQ(exchange("not json\n"), kBadRequest);
  EXPECT_EQ(exchange("{\"op\":\"Kill\",\"pid\":7}\n"), kBadRequest);
  EXPECT_EQ(exchange(std::string("{\"op\":\"ping\"}\0\n", 15)), kBadRequest);
  EXPECT_EQ(exchange("\xFF\xFE\n"), kBadRequest);
  // Only the first line of a connection is served; the reply is one line.
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\nnot json\n"), kOk);
  EXPECT_EQ(exchange("{\"op\":\"kill\"}\n"), kBadRequest);
}

TEST_F(ForegroundPipe, AnOverlongLineIsCutAtTheBoundAndRefused) {
  EXPECT_EQ(exchange(std::string(300000, 'a')), kBadRequest);
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOk);
}

TEST_F(ForegroundPipe, ClientsThatCloseAtOnceDoNotStopTheServer) {
  for (int i = 0; i < 3; ++i) {
    UniqueFile pipe = connect_pipe();
    ASSERT_TRUE(pipe);
  }
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOk);
}

TEST_F(ForegroundPipe, AStalledClientHoldsTheServerOnlyForTheBound) {
  // Connects, sends half a request and neither finishes nor closes, but
  // does wait for an answer.
  UniqueFile stalled = connect_pipe();
  ASSERT_TRUE(stalled);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(stalled.get(), "{\"op\":", 6, &written, nullptr));
  std::string stalled_reply;
  std::thread reader([&] { stalled_reply = read_reply(stalled.get()); });

  // A second client waits and is served once the bound has passed.
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n", std::chrono::seconds(40)), kOk);
  reader.join();
  // The stalled client was answered with what it had sent so far.
  EXPECT_EQ(stalled_reply, std::string(kBadRequest) + "\n");
}

TEST_F(ForegroundPipe, AClientThatNeverReadsItsReplyIsLetGo) {
  UniqueFile silent = connect_pipe();
  ASSERT_TRUE(silent);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(silent.get(), "{\"op\":\"ping\"}\n", 14, &written, nullptr));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n", std::chrono::seconds(40)), kOk);
}

TEST_F(ForegroundPipe, ASecondClientIsServedWhileTheFirstIsBeingServed) {
  std::optional<std::string> first, second;
  std::thread a([&] { first = exchange("{\"op\":\"ping\"}\n"); });
  std::thread b([&] { second = exchange("[\"ping\"]\n"); });
  a.join();
  b.join();
  EXPECT_EQ(first, kOk);
  EXPECT_EQ(second, kOk);
}

TEST_F(ForegroundPipe, TheClientToolPrintsTheReplyAndExitsByIt) {
  // No LumarHelper service runs (an earlier suite's update may have handed
  // over to one late): the pipe's server could be anyone, so the tool sends
  // nothing unless told that a foreground helper is meant.
  ASSERT_TRUE(remove_helper_service());
  const RunResult refused = run(quote(client_exe()) + L" ping");
  EXPECT_EQ(refused.exit_code, 1u);
  EXPECT_EQ(refused.err,
            "lumar-helper-client: the pipe is not served by the LumarHelper service\r\n");
  const RunResult ping = run(quote(client_exe()) + L" --allow-foreground ping");
  EXPECT_EQ(ping.exit_code, 0u);
  EXPECT_EQ(ping.out, std::string(kOk) + "\n");
  const RunResult bad = run(quote(client_exe()) + L" --allow-foreground send \"{\\\"op\\\":1}\"");
  EXPECT_EQ(bad.exit_code, 1u);
  EXPECT_EQ(bad.out, std::string(kBadRequest) + "\n");
}

// A package path as a JSON string, and the same text as the reply shows it.
std::string json_text(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\0') {
      out += "\\u0000";
    } else {
      out += c;
    }
  }
  return out;
}

std::string install_update(const std::string& path) {
  return "{\"op\":\"install_update\",\"path\":\"" + json_text(path) + "\",\"signature\":\"x\"}\n";
}

std::string refused(const std::string& error) {
  return "{\"ok\":false,\"error\":\"" + json_text(error) + "\"}";
}

TEST_F(ForegroundPipe, APackagePathIsReadWholeAndOnlyFromAFileOnDisk) {
  // The name before the NUL exists and would be read if the path were cut.
  const std::string cut = std::string(R"(C:\windows\win.ini)") + '\0' + ".msi";
  EXPECT_EQ(exchange(install_update(cut)),
            refused("read " + cut + ": " + os_error_text(ERROR_INVALID_NAME)));

  // A sparse file one byte over the bound is refused without being read.
  const std::wstring big = make_temp_folder(L"pipe-big") + L"\\big.msi";
  {
    UniqueFile file(::CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER end{};
    end.QuadPart = 536870912LL + 1;
    ASSERT_TRUE(::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(::SetEndOfFile(file.get()));
  }
  EXPECT_EQ(exchange(install_update(narrow_lossy(big))),
            refused(narrow_lossy(big) + " is too large to be a release"));
  ::DeleteFileW(big.c_str());

  // A pipe named as the package cannot hold the serial server.
  const std::wstring pipe_name = L"\\\\.\\pipe\\lumar_test_not_a_file";
  UniqueFile other(::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                      4096, 4096, 0, nullptr));
  ASSERT_TRUE(other);
  EXPECT_EQ(exchange(install_update(narrow_lossy(pipe_name))),
            refused("read " + narrow_lossy(pipe_name) + ": not a file on disk"));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOk);
}

// Wine keeps the DACL but does not enforce it: what each group may do is
// read back here, the refusals themselves cannot be shown.
TEST_F(ForegroundPipe, ThePipesDaclLetsUsersTalkButNotServe) {
  UniqueFile pipe = connect_pipe(std::chrono::seconds(40), READ_CONTROL);
  ASSERT_TRUE(pipe);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(::GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  UniqueLocal owned(descriptor);
  ASSERT_NE(dacl, nullptr);

  ASSERT_EQ(dacl->AceCount, 3u);
  std::map<std::string, ACCESS_MASK> granted;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    ASSERT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    wchar_t* sid = nullptr;
    ASSERT_TRUE(::ConvertSidToStringSidW(&allowed->SidStart, &sid));
    granted[narrow_lossy(sid)] = allowed->Mask;
    ::LocalFree(sid);
  }
  const ACCESS_MASK read_write =
      (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
  EXPECT_EQ(granted, (std::map<std::string, ACCESS_MASK>{
                         {"S-1-5-18", FILE_ALL_ACCESS},      // LocalSystem
                         {"S-1-5-32-544", FILE_ALL_ACCESS},  // Administrators
                         {"S-1-5-11", read_write},           // Authenticated Users
                     }));
  EXPECT_EQ(read_write, 0x12019bu);
}

TEST_F(ForegroundPipe, TheLogRecordsTheForegroundFallback) {
  const std::string log = helper_->log();
  EXPECT_NE(log.find(" service dispatcher failed (IO error in winapi call); running foreground\n"),
            std::string::npos)
      << log;
  // "YYYY-MM-DD HH:MM:SS " before the message.
  ASSERT_GE(log.size(), 20u);
  EXPECT_EQ(log[4], '-');
  EXPECT_EQ(log[10], ' ');
  EXPECT_EQ(log[13], ':');
}

TEST(CommandLine, VariantPrintsDesktopAndUnknownModesPrintUsage) {
  const RunResult variant = run(quote(helper_exe()) + L" variant extra args");
  EXPECT_EQ(variant.exit_code, 0u);
  EXPECT_EQ(variant.out, "desktop\n");
  EXPECT_EQ(variant.err, "");

  const RunResult none = run(quote(helper_exe()));
  EXPECT_EQ(none.exit_code, 2u);
  EXPECT_EQ(none.err, "usage: lumar-helper [install|uninstall|run|daemon|variant] (got '')\n");
  EXPECT_EQ(none.out, "");

  const RunResult upper = run(quote(helper_exe()) + L" --Run");
  EXPECT_EQ(upper.exit_code, 2u);
  EXPECT_EQ(upper.err,
            "usage: lumar-helper [install|uninstall|run|daemon|variant] (got '--Run')\n");
}

}  // namespace
}  // namespace lumar::test
