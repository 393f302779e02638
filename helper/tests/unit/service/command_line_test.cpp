#include "main/service/command_line.h"

#include <gtest/gtest.h>

#include "fakes/fake_log.h"

namespace lumar {
namespace {

struct ForegroundServed {};

class FakeModes : public HelperModes {
 public:
  Status install_result;
  Status uninstall_result;
  Status dispatcher_result = fail("IO error in winapi call");
  std::vector<std::string> calls;

  Status install() override {
    calls.push_back("install");
    return install_result;
  }
  Status uninstall() override {
    calls.push_back("uninstall");
    return uninstall_result;
  }
  Status run_service_dispatcher() override {
    calls.push_back("dispatcher");
    return dispatcher_result;
  }
  [[noreturn]] void serve_foreground() override { throw ForegroundServed{}; }
};

class FakeConsole : public Console {
 public:
  std::string out_text, err_text;
  void out(std::string_view text) override { out_text += text; }
  void err(std::string_view text) override { err_text += text; }
};

class CommandLineTest : public ::testing::Test {
 protected:
  int run(std::optional<std::string_view> argument) {
    return run_command_line(argument, modes, console, log.log);
  }
  FakeModes modes;
  FakeConsole console;
  test::RecordingLog log;
};

TEST_F(CommandLineTest, VariantPrintsTheNameAndLogsNothing) {
  EXPECT_EQ(run("variant"), 0);
  EXPECT_EQ(console.out_text, "desktop\n");
  EXPECT_EQ(console.err_text, "");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(CommandLineTest, UnknownModesPrintTheUsageLineAndExit2) {
  EXPECT_EQ(run(std::nullopt), 2);
  EXPECT_EQ(console.err_text,
            "usage: lumar-helper [install|uninstall|run|daemon|variant] (got '')\n");
  for (const char* argument : {"", "Install", "--run", "run ", "variants"}) {
    console.err_text.clear();
    EXPECT_EQ(run(argument), 2);
    EXPECT_EQ(console.err_text,
              "usage: lumar-helper [install|uninstall|run|daemon|variant] (got '" +
                  std::string(argument) + "')\n");
  }
  EXPECT_TRUE(modes.calls.empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(CommandLineTest, InstallAndUninstallReportFailuresOnStderrAndInTheLog) {
  EXPECT_EQ(run("install"), 0);
  EXPECT_EQ(console.err_text, "");
  modes.uninstall_result = fail("open service: IO error in winapi call");
  EXPECT_EQ(run("uninstall"), 1);
  EXPECT_EQ(console.err_text, "lumar-helper: open service: IO error in winapi call\n");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"error: open service: IO error in winapi call"});
}

TEST_F(CommandLineTest, RunAndDaemonFallBackToTheForegroundWhenTheDispatcherFails) {
  for (const char* mode : {"run", "daemon"}) {
    EXPECT_THROW(run(mode), ForegroundServed);
  }
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "service dispatcher failed (IO error in winapi call); running foreground",
                "service dispatcher failed (IO error in winapi call); running foreground"}));
  modes.dispatcher_result = {};
  EXPECT_EQ(run("run"), 0);
}

}  // namespace
}  // namespace lumar
