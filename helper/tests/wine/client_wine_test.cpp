// The application's library, through the client tool and the stand-in app
// built on it: against a pipe that another process holds while the
// LumarHelper service runs, and against a helper run in the foreground.
// Wine enforces neither the pipe's DACL nor FILE_FLAG_FIRST_PIPE_INSTANCE,
// but it does keep an instance limit: a holder that allows one instance only
// keeps the service from adding its own, so this squatter can be staged
// here. One who allows more instances cannot: that case, and the
// once-a-minute logging, are shown with fakes (pipe_server_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "main/base/text_win32.h"
#include "main/service/product.h"
#include "support/app_wine_support.h"
#include "support/service_wine_support.h"
#include "support/wine_harness.h"

namespace lumar::test {
namespace {

// One pipe instance that listens and never answers, with room for no other.
class Squatter {
 public:
  Squatter()
      : pipe_(::CreateNamedPipeW(
            wide(kPipeName).c_str(),
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr)),
        event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    listen();
  }
  ~Squatter() { stop_listening(); }
  bool holds() const { return pipe_.valid(); }
  // Lets the last client go and waits for the next, keeping the name.
  void listen() {
    stop_listening();
    ::DisconnectNamedPipe(pipe_.get());
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    ::ConnectNamedPipe(pipe_.get(), &overlapped_);
  }

 private:
  // The pending connect writes into `overlapped_`: it must end first.
  void stop_listening() {
    if (!pipe_) return;
    DWORD ignored = 0;
    if (::CancelIoEx(pipe_.get(), &overlapped_) || ::GetLastError() != ERROR_NOT_FOUND) {
      ::GetOverlappedResult(pipe_.get(), &overlapped_, &ignored, TRUE);
    }
  }

  UniqueFile pipe_;
  UniqueHandle event_;
  OVERLAPPED overlapped_{};
};

class ClientServerCheck : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(remove_helper_service()); }
  void TearDown() override { EXPECT_TRUE(remove_helper_service()); }
};

TEST_F(ClientServerCheck, WhileTheServiceRunsOnlyItsOwnPipeIsTalkedTo) {
  std::optional<Squatter> squatter(std::in_place);
  ASSERT_TRUE(squatter->holds());
  const LogTail service_log;
  const std::wstring folder = make_temp_folder(L"client");
  ASSERT_EQ(run_logged(copy_helper(folder + L"\\Lumar KQ"), L"install", folder).exit_code, 0u);
  ASSERT_TRUE(wait_for_service_state(SERVICE_RUNNING));
  const std::string squatted = R"(pipe: another process holds \\.\pipe\lumar_helper (231))";
  EXPECT_TRUE(service_log.wait_for(squatted));

  // Standard error is a text stream: its lines end in CR LF.
  const RunResult refused = run(quote(client_exe()) + L" ping");
  EXPECT_EQ(refused.exit_code, 1u);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err,
            "lumar-helper-client: the pipe is not served by the LumarHelper service\r\n");

  // Allowed to, the tool sends, and gives up on a server that never answers.
  squatter->listen();
  const auto start = std::chrono::steady_clock::now();
  const RunResult silent = run(quote(client_exe()) + L" --allow-foreground --timeout 2 ping");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_EQ(silent.exit_code, 1u);
  EXPECT_EQ(silent.err, "lumar-helper-client: no reply from the helper within 2 s\r\n");

  // Retried every 300 ms all along, the failure was logged once.
  const std::vector<std::string> lines = service_log.messages();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), squatted), 1);

  // Once the name is free the service claims it, and the tool talks to it.
  squatter.reset();
  RunResult served;
  for (int i = 0; i < 5 && served.out.empty(); ++i) {
    served = run(quote(client_exe()) + L" ping");
  }
  EXPECT_EQ(served.exit_code, 0u) << served.err;
  EXPECT_EQ(served.out, "{\"ok\":true}\n");
}

// A helper in the foreground serves the pipe but is no service: to the
// library, as to anyone's, it could be a squatter.
using AppLibraryAndForegroundHelper = ForegroundHelperSuite;

TEST_F(AppLibraryAndForegroundHelper, SendsToItOnlyWhenAllowed) {
  struct Case {
    std::map<std::wstring, std::wstring> environment;
    DWORD exit_code;
    std::string record;
  };
  const std::vector<Case> cases = {
      {{}, 3u, "unsent\tthe pipe is not served by the LumarHelper service"},
      {{{L"LUMAR_DESKTOP_ALLOW_FOREGROUND", L"1"}}, 0u, "reply\t{\"ok\":true}"},
  };
  for (const Case& c : cases) {
    const AppCopy app(L"app-library");
    const RunResult asked = run(quote(app.exe()) + L" ping", c.environment);
    EXPECT_EQ(asked.exit_code, c.exit_code) << c.record;
    // The record's lines after the start: {kind}<TAB>{pid}<TAB>{text}.
    std::string answers;
    std::istringstream lines(read_file(app_starts_file(app.folder())));
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("start\t", 0) == 0) continue;
      const std::size_t pid_end = line.find('\t', line.find('\t') + 1);
      answers += line.substr(0, line.find('\t')) + line.substr(pid_end);
    }
    EXPECT_EQ(answers, c.record);
  }
}

}  // namespace
}  // namespace lumar::test
