// Whole updates under Wine: the real helper in the foreground, real packages
// built by wixl and signed by minisign, the stand-in app installed by
// msiexec, and requests from that app or, sent as a request line, from the
// client tool.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "main/base/text_win32.h"
#include "pipe_client.h"
#include "support/app_wine_support.h"
#include "support/package_support.h"
#include "support/service_wine_support.h"
#include "support/wine_harness.h"
#include "update/acceptance/base64.h"
#include "update/install/installer_worker.h"
#include "update/staged_name.h"

namespace lumar::test {
namespace {

using namespace std::chrono_literals;

// The helper's private staging folder inside its temp folder.
std::wstring staging_folder() { return temp_path() + L"lumar-helper"; }

// Names of staged packages and installer logs in the helper's staging folder
// and, where earlier versions staged them, in the temp folder itself.
std::vector<std::wstring> staging_leftovers() {
  std::vector<std::wstring> names = names_in(staging_folder(), staged_files_pattern());
  const std::wstring temp = temp_path();  // ends in a backslash
  for (std::wstring& name : names_in(temp.substr(0, temp.size() - 1), staged_files_pattern())) {
    names.push_back(std::move(name));
  }
  return names;
}

void remove_staging_leftovers() {
  for (const std::wstring& name : staging_leftovers()) {
    ::DeleteFileW((staging_folder() + L"\\" + name).c_str());
    ::DeleteFileW((temp_path() + name).c_str());
  }
}

class UpdateEndToEnd : public ForegroundHelperSuite {
 protected:
  static void SetUpTestSuite() {
    remove_helper_service();
    uninstall_test_products();
    // The stand-in app checks who serves the pipe, as the product does; this
    // helper runs in the foreground.
    ::SetEnvironmentVariableW(L"LUMAR_DESKTOP_ALLOW_FOREGROUND", L"1");
    ForegroundHelperSuite::SetUpTestSuite();
  }
  static void TearDownTestSuite() {
    ForegroundHelperSuite::TearDownTestSuite();
    ::SetEnvironmentVariableW(L"LUMAR_DESKTOP_ALLOW_FOREGROUND", nullptr);
    remove_helper_service();
    uninstall_test_products();
    remove_staging_leftovers();
  }

  void SetUp() override {
    ForegroundHelperSuite::SetUp();
    if (HasFatalFailure()) return;
    uninstall_test_products();
    remove_staging_leftovers();
    ASSERT_EQ(install_package(L"lite-1.0.0.msi"), 0u);
    ::DeleteFileW(app_starts_file().c_str());
    log_.emplace(helper_->log_path());
  }
  void TearDown() override {
    kill_copies(installed_app());
    // A successful update hands over to "install", which registers and
    // starts the service: remove it so that the foreground helper alone
    // serves the pipe again.
    remove_helper_service();
  }

  // The helper log's messages written during this test.
  std::vector<std::string> messages() const { return log_->messages(); }
  bool wait_for_message(const std::string& message) const { return log_->wait_for(message, 90s); }

  // `expected` appear in the log in this order (other lines may come between).
  void expect_in_order(const std::vector<std::string>& expected) const {
    const std::vector<std::string> now = messages();
    auto at = now.begin();
    for (const std::string& message : expected) {
      at = std::find(at, now.end(), message);
      ASSERT_NE(at, now.end()) << "missing or out of order: " << message;
      ++at;
    }
  }

  // Sends the request line through the client tool, which runs from the
  // build folder and so is a caller other than the installed app.
  RunResult ask_from_client(const std::wstring& package, const std::wstring& signature) {
    const std::string minisig =
        read_file(signature.empty() ? signature_path(package) : package_path(signature));
    const nlohmann::json request = {{"op", "install_update"},
                                    {"path", narrow_lossy(package_path(package))},
                                    {"signature", encode_base64(minisig)}};
    const std::wstring line = make_temp_folder(L"request") + L"\\request.json";
    write_file(line, request.dump() + "\n");
    return run(quote(client_exe()) + L" --allow-foreground send --file " + quote(line));
  }

  std::optional<LogTail> log_;
};

TEST_F(UpdateEndToEnd, RefusalsSayWhyAreLoggedAndLeaveNothingBehind) {
  const struct {
    std::wstring package, signature;
    std::string reason;
  } cases[] = {
      {L"lite-1.1.0.msi", L"lite-1.1.0.msi.other-key.minisig",
       "signature does not match the Lumar updater key"},
      {L"not-msi.exe", L"", "not a Windows Installer package"},
      {L"lite-no-version.msi", L"", "package has no ProductVersion"},
      {L"other-1.1.0.msi", L"",
       "package is not a Lumar KQ release (UpgradeCode {3C9A1F42-6D0B-4E85-A7C3-58B2E9F01D64})"},
      {L"full-1.1.0.msi", L"",
       "Lumar KQ is not installed through Windows Installer on this machine"},
      {L"lite-0.9.0.msi", L"", "package 0.9.0 is not newer than the installed 1.0.0"},
      // Read in full through the installer's retry for long values.
      {L"lite-long-version.msi", L"",
       "package " + long_version(70) + " is not newer than the installed 1.0.0"},
      // The installed version, but asked for by a program elsewhere.
      {L"lite-1.0.0.msi", L"", "package 1.0.0 is not newer than the installed 1.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const RunResult result = ask_from_client(c.package, c.signature);
    EXPECT_EQ(result.exit_code, 1u);
    EXPECT_EQ(result.out, refusal_reply(c.reason) + "\n");
    const std::vector<std::string> now = messages();
    ASSERT_FALSE(now.empty());
    EXPECT_EQ(now.back(), "install_update: refused: " + c.reason);
    EXPECT_TRUE(staging_leftovers().empty()) << "a staged file was left behind";
  }
  EXPECT_EQ(installed_version(kLiteCode), "1.0.0");
}

TEST_F(UpdateEndToEnd, TheInstalledVersionAskedForByTheInstalledAppOnlyRestartsIt) {
  Child app = ask_for_update(L"lite-1.0.0.msi");
  const std::optional<RunResult> ended = app.wait(60s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exit_code, 0u);
  EXPECT_EQ(app_replies(), std::vector<std::string>{kOkReply});

  const std::string pid = std::to_string(app.pid());
  ASSERT_TRUE(wait_for_message("install_update: app restarted in session 1"));
  expect_in_order({"install_update: 1.0.0 is already installed; restarting pid " + pid + " on it",
                   "install_update: app restarted in session 1"});
  for (const std::string& message : messages()) {
    EXPECT_EQ(message.find("msiexec"), std::string::npos) << message;
  }
  EXPECT_EQ(wait_for_app_starts(kLiteFolder, 2).size(), 2u) << "the app was not started again";
  EXPECT_TRUE(staging_leftovers().empty());
  EXPECT_EQ(installed_version(kLiteCode), "1.0.0");
}

TEST_F(UpdateEndToEnd, AFailingInstallKeepsItsLogAndAnotherRequestMeanwhileIsBusy) {
  // The app asks and stays up: the worker waits for it, holding the update.
  Child app = ask_for_update(L"lite-1.2.0-fails.msi", L"update-stay");
  wait_until(60s, [] { return !app_replies().empty(); });
  ASSERT_EQ(app_replies(), std::vector<std::string>{kOkReply});
  const std::vector<std::wstring> staged = staging_leftovers();
  ASSERT_EQ(staged.size(), 2u) << "the package, and its log's name taken beside it";
  const std::wstring package_name = staged[0].ends_with(L".msi") ? staged[0] : staged[1];
  const std::size_t lines_before = messages().size();

  const RunResult busy = ask_from_client(L"lite-1.1.0.msi", L"");
  EXPECT_EQ(busy.out, refusal_reply("an update is already being installed") + "\n");
  EXPECT_EQ(messages().size(), lines_before) << "the busy refusal is not logged";
  EXPECT_EQ(staging_leftovers(), staged) << "the busy request staged nothing";

  app.terminate();  // the worker goes on as if the app had quit
  ASSERT_TRUE(wait_for_message("install_update: 1.2.0: msiexec exit 1603"));
  const std::string pid = std::to_string(app.pid());
  const std::wstring log_name = wide(installer_log_path(narrow_lossy(package_name)));
  const std::string log_path = narrow_lossy(staging_folder() + L"\\" + log_name);
  expect_in_order({"install_update: accepted 1.2.0 from pid " + pid,
                   "install_update: msiexec log kept at " + log_path,
                   "install_update: 1.2.0: msiexec exit 1603"});
  EXPECT_EQ(installed_version(kLiteCode), "1.0.0");
  ASSERT_TRUE(wait_for_message("install_update: app restarted in session 1"));
  // Released once the app is back.
  EXPECT_TRUE(wait_until(30s, [&] { return staging_leftovers() == std::vector{log_name}; }))
      << "the staged package is deleted, the installer's log kept";
}

TEST_F(UpdateEndToEnd, ALowerCaseUpgradeCodeIsAcceptedAndAskedAboutAsWritten) {
  // The package's code is in lower case; Windows Installer is asked with
  // that text and must find the installed product of the same family.
  Child app = ask_for_update(L"lite-1.1.0-lower.msi");
  const std::optional<RunResult> ended = app.wait(60s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(app_replies(), std::vector<std::string>{kOkReply});
  ASSERT_TRUE(wait_for_message("install_update: 1.1.0: msiexec exit 0"));
  EXPECT_EQ(installed_version(kLiteCode), "1.1.0");
}

TEST_F(UpdateEndToEnd, TheInstalledAppAsksForANewerVersionAndRunsItAfterwards) {
  Child app = ask_for_update(L"lite-1.1.0.msi");
  const std::optional<RunResult> ended = app.wait(60s);
  ASSERT_TRUE(ended) << "the app did not quit after its request";
  EXPECT_EQ(ended->exit_code, 0u);
  EXPECT_EQ(app_replies(), std::vector<std::string>{kOkReply});

  ASSERT_TRUE(wait_for_message("install_update: app restarted in session 1"));
  const std::string pid = std::to_string(app.pid());
  expect_in_order({"install_update: accepted 1.1.0 from pid " + pid,
                   "install_update: 1.1.0: msiexec exit 0",
                   "install_update: app restarted in session 1"});
  for (const std::string& message : messages()) {
    EXPECT_EQ(message.find("did not exit in time"), std::string::npos);
    EXPECT_EQ(message.find("log kept"), std::string::npos);
  }
  EXPECT_EQ(installed_version(kLiteCode), "1.1.0");
  EXPECT_TRUE(staging_leftovers().empty()) << "staged package and installer log are gone";
  // Started again from the newly installed files.
  const std::vector<AppStart> starts = wait_for_app_starts(kLiteFolder, 2);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[1].session, "1");
}

TEST_F(UpdateEndToEnd, AnotherProgramAskingForANewerVersionIsRefusedAndNothingIsClosed) {
  // The stand-in app under another name, in the installed folder: were it
  // accepted, its image would be closed and restarted and the package
  // installed.
  const std::wstring other = std::wstring(kLiteFolder) + L"\\lumar-other.exe";
  ASSERT_TRUE(::CopyFileW(installed_app().c_str(), other.c_str(), FALSE));
  Child running(quote(installed_app()), {}, false);  // a copy of the real app, left alone
  Child asking = ask_for_update(L"lite-1.1.0.msi", L"update", other);
  const std::optional<RunResult> ended = asking.wait(60s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exit_code, 1u);

  const std::string reason = "the requesting process " + narrow_lossy(other) +
                             " is not lumar-desktop.exe in " + narrow_lossy(kLiteFolder) + "\\";
  EXPECT_EQ(messages().back(), "install_update: refused: " + reason);
  EXPECT_EQ(app_replies(), std::vector<std::string>{refusal_reply(reason)});
  EXPECT_TRUE(running.running()) << "the app was closed for another program's request";
  EXPECT_TRUE(staging_leftovers().empty());
  EXPECT_EQ(installed_version(kLiteCode), "1.0.0");
  running.terminate();
  ::DeleteFileW(other.c_str());
}

TEST_F(UpdateEndToEnd, TheAppsNameOutsideTheProductFolderIsRefusedAndNothingIsClosedOrStarted) {
  // A user's own copy of the stand-in, named as the app but in a folder any
  // user can write, sends a genuine newer package. Were it accepted, the
  // helper would close the installed app, install, and start a program of
  // that user's choosing as everyone signed in.
  const AppCopy planted(L"planted");
  Child running(quote(installed_app()), {}, false);  // the installed app, left alone
  Child asking = ask_for_update(L"lite-1.1.0.msi", L"update", planted.exe());
  const std::optional<RunResult> ended = asking.wait(60s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->exit_code, 1u);

  const std::string reason = "the requesting process " + planted.exe_text() +
                             " is not lumar-desktop.exe in " + narrow_lossy(kLiteFolder) + "\\";
  EXPECT_EQ(messages().back(), "install_update: refused: " + reason);
  EXPECT_EQ(app_replies(planted.folder()), std::vector<std::string>{refusal_reply(reason)});
  EXPECT_TRUE(running.running()) << "the installed app was closed";
  EXPECT_TRUE(staging_leftovers().empty());
  EXPECT_EQ(installed_version(kLiteCode), "1.0.0");
  // Nothing was started: the planted copy only its own start, the installed
  // app only the one this test made.
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(read_app_starts(planted.folder()).size(), 1u);
  EXPECT_EQ(read_app_starts(kLiteFolder).size(), 1u);
  for (const std::string& message : messages()) {
    EXPECT_EQ(message.find("restarted"), std::string::npos) << message;
    EXPECT_EQ(message.find("closed a copy"), std::string::npos) << message;
  }
  running.terminate();
}

}  // namespace
}  // namespace lumar::test
