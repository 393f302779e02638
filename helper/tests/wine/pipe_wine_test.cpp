// The real lumar-helper.exe under Wine, in the foreground: Wine's service
// dispatcher refuses a console process only after about ten seconds, so one
// helper serves the whole suite.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <thread>
#include <vector>

#include "main/base/text_win32.h"
#include "support/package_support.h"
#include "support/service_wine_support.h"
#include "support/wine_harness.h"
#include "update/acceptance/base64.h"

namespace lumar::test {
namespace {

const std::string kBadRequest = refusal_reply("bad request");

using ForegroundPipe = ForegroundHelperSuite;

TEST_F(ForegroundPipe, AnswersPingAndMalformedLinesWithExactlyOneReplyLine) {
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\r\n"), kOkReply);
  EXPECT_EQ(exchange("not json\n"), kBadRequest);
  EXPECT_EQ(exchange("{\"op\":\"Kill\",\"pid\":7}\n"), kBadRequest);
  EXPECT_EQ(exchange(std::string("{\"op\":\"ping\"}\0\n", 15)), kBadRequest);
  EXPECT_EQ(exchange("\xFF\xFE\n"), kBadRequest);
  // Only the first line of a connection is served; the reply is one line.
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\nnot json\n"), kOkReply);
  EXPECT_EQ(exchange("{\"op\":\"kill\"}\n"), kBadRequest);
}

TEST_F(ForegroundPipe, AnOverlongLineIsCutAtTheBoundAndRefused) {
  EXPECT_EQ(exchange(std::string(300000, 'a')), kBadRequest);
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
}

TEST_F(ForegroundPipe, ClientsThatCloseAtOnceDoNotStopTheServer) {
  for (int i = 0; i < 3; ++i) {
    UniqueFile pipe = connect_pipe();
    ASSERT_TRUE(pipe);
  }
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
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

  // A second client is served meanwhile; the stalled one at the bound.
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n", std::chrono::seconds(40)), kOkReply);
  reader.join();
  // The stalled client was answered with what it had sent so far.
  EXPECT_EQ(stalled_reply, std::string(kBadRequest) + "\n");
}

TEST_F(ForegroundPipe, SixteenStalledConnectionsDoNotKeepAPingWaiting) {
  // Four processes of four, each within its share of connections.
  const std::wstring semaphore = L"lumar_test_stallers";
  const UniqueHandle ready(::CreateSemaphoreW(nullptr, 0, 64, semaphore.c_str()));
  ASSERT_TRUE(ready);
  std::vector<Child> stallers;
  for (int i = 0; i < 4; ++i) {
    stallers.emplace_back(quote(program_exe(L"pipe_staller")) + L" 4 " + semaphore,
                          std::map<std::wstring, std::wstring>{}, false);
    ASSERT_TRUE(stallers.back().started());
  }
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(::WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0) << "connection " << i;
  }
  // The serial server kept such a ping waiting for 17 to 47 s; the stalled
  // ones are let go only after nine.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n", std::chrono::seconds(40)), kOkReply);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ForegroundPipe, AClientThatNeverReadsItsReplyIsLetGo) {
  UniqueFile silent = connect_pipe();
  ASSERT_TRUE(silent);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(silent.get(), "{\"op\":\"ping\"}\n", 14, &written, nullptr));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n", std::chrono::seconds(40)), kOkReply);
}

TEST_F(ForegroundPipe, ASecondClientIsServedWhileTheFirstIsBeingServed) {
  std::optional<std::string> first, second;
  std::thread a([&] { first = exchange("{\"op\":\"ping\"}\n"); });
  std::thread b([&] { second = exchange("[\"ping\"]\n"); });
  a.join();
  b.join();
  EXPECT_EQ(first, kOkReply);
  EXPECT_EQ(second, kOkReply);
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
  EXPECT_EQ(ping.out, std::string(kOkReply) + "\n");
  const RunResult bad = run(quote(client_exe()) + L" --allow-foreground send \"{\\\"op\\\":1}\"");
  EXPECT_EQ(bad.exit_code, 1u);
  EXPECT_EQ(bad.out, std::string(kBadRequest) + "\n");
}

// With a genuine signature by the updater key: one of another key, or one
// that does not parse, is refused before the file is looked at.
std::string install_update(const std::string& path) {
  static const std::string signature = encode_base64(read_file(signature_path(L"lite-1.1.0.msi")));
  return "{\"op\":\"install_update\",\"path\":\"" + json_escaped(path) + "\",\"signature\":\"" +
         signature + "\"}\n";
}

TEST_F(ForegroundPipe, APackagePathIsReadWholeAndOnlyFromAFileOnDisk) {
  // The name before the NUL exists and would be read if the path were cut.
  const std::string cut = std::string(R"(C:\windows\win.ini)") + '\0' + ".msi";
  EXPECT_EQ(exchange(install_update(cut)),
            refusal_reply("read " + cut + ": " + os_error_text(ERROR_INVALID_NAME)));

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
            refusal_reply(narrow_lossy(big) + " is too large to be a release"));
  ::DeleteFileW(big.c_str());

  // A pipe named as the package cannot hold the serial server.
  const std::wstring pipe_name = L"\\\\.\\pipe\\lumar_test_not_a_file";
  UniqueFile other(::CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                      4096, 4096, 0, nullptr));
  ASSERT_TRUE(other);
  EXPECT_EQ(exchange(install_update(narrow_lossy(pipe_name))),
            refusal_reply("read " + narrow_lossy(pipe_name) + ": not a file on disk"));
  EXPECT_EQ(exchange("{\"op\":\"ping\"}\n"), kOkReply);
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
    const UniqueLocal owned_sid(sid);
    granted[narrow_lossy(sid)] = allowed->Mask;
  }
  constexpr ACCESS_MASK read_write =
      (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
  static_assert(read_write == 0x12019b);
  EXPECT_EQ(granted, (std::map<std::string, ACCESS_MASK>{
                         {"S-1-5-18", FILE_ALL_ACCESS},      // LocalSystem
                         {"S-1-5-32-544", FILE_ALL_ACCESS},  // Administrators
                         {"S-1-5-11", read_write},           // Authenticated Users
                     }));
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

}  // namespace
}  // namespace lumar::test
