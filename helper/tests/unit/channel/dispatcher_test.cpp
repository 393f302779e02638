#include "main/channel/dispatcher.h"

#include <gtest/gtest.h>

#include "fakes/fake_client_files.h"
#include "fakes/fake_log.h"
#include "fakes/fake_pipe.h"
#include "fakes/fake_processes.h"

namespace lumar {
namespace {

using test::DyingProcessExit;
using test::FakeClientFiles;
using test::FakePipeConnection;
using test::FakeProcesses;
using test::RecordingLog;

class CountingHostActions : public HostActions {
 public:
  std::vector<std::uint64_t> kills;
  std::vector<std::vector<std::string>> hosts;
  Reply kill(std::uint64_t pid) override {
    kills.push_back(pid);
    return Reply::failure("taskkill failed (exit 1)");
  }
  Reply write_hosts(const std::vector<std::string>& domains) override {
    hosts.push_back(domains);
    return Reply::success();
  }
};

class RecordingUpdates : public UpdateAcceptor {
 public:
  struct Call {
    Bytes package;
    std::string signature;
    OpenedCaller caller;
  };
  std::vector<Call> calls;
  std::optional<std::string> early_refusal;
  Status check_before_read(const std::string&) override {
    if (early_refusal) return fail(*early_refusal);
    return {};
  }
  std::unique_ptr<IncrementalHash> start_package_hash(const std::string&) override {
    return nullptr;
  }
  Reply accept_update(Bytes package, const std::string& signature, OpenedCaller caller,
                      std::unique_ptr<IncrementalHash>) override {
    calls.push_back({std::move(package), signature, std::move(caller)});
    return Reply::success();
  }
};

class DispatchTest : public ::testing::Test {
 protected:
  Reply dispatch(Edition edition, std::optional<std::string_view> line) {
    Dispatcher dispatcher(edition, &host_actions, caller_step, updates, log.log);
    return dispatcher.dispatch(line, connection);
  }
  Reply install_update(std::string_view path) {
    return dispatch(Edition::kLite, R"({"op":"install_update","path":")" + std::string(path) +
                                        R"(","signature":"c2ln"})");
  }

  DispatchTest() { processes.add({.pid = 4242, .image = R"(C:\app\lumar-desktop.exe)"}); }

  RecordingLog log;
  FakeClientFiles files;
  FakeProcesses processes;
  DyingProcessExit exit{log};
  CallerStep caller_step{files, processes, log.log, exit, log.clock};
  CountingHostActions host_actions;
  RecordingUpdates updates;
  FakePipeConnection connection;
};

TEST_F(DispatchTest, LiteGateRefusesHostActionsWithoutTouchingAnything) {
  EXPECT_EQ(dispatch(Edition::kLite, R"({"op":"kill","pid":7})"), Reply::failure(kLiteRefusal));
  EXPECT_EQ(dispatch(Edition::kLite, R"({"op":"write_hosts","domains":["a"]})"),
            Reply::failure(kLiteRefusal));
  EXPECT_TRUE(host_actions.kills.empty());
  EXPECT_TRUE(host_actions.hosts.empty());
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(dispatch(Edition::kLite, R"({"op":"ping"})"), Reply::success());
  // The gate comes after parsing: a malformed kill is still a bad request.
  EXPECT_EQ(dispatch(Edition::kLite, R"({"op":"kill"})"), Reply::failure("bad request"));
}

TEST_F(DispatchTest, FullEditionPassesHostActionRepliesThroughUnchanged) {
  EXPECT_EQ(dispatch(Edition::kFull, R"(["kill",18446744073709551615])"),
            Reply::failure("taskkill failed (exit 1)"));
  EXPECT_EQ(dispatch(Edition::kFull, R"({"op":"write_hosts","domains":[]})"), Reply::success());
  EXPECT_EQ(host_actions.kills, std::vector<std::uint64_t>{18446744073709551615ULL});
  ASSERT_EQ(host_actions.hosts.size(), 1u);
  EXPECT_TRUE(host_actions.hosts[0].empty());
}

TEST_F(DispatchTest, MalformedOrMissingLinesAreBadRequests) {
  EXPECT_EQ(dispatch(Edition::kLite, std::nullopt), Reply::failure("bad request"));
  EXPECT_EQ(dispatch(Edition::kLite, ""), Reply::failure("bad request"));
}

TEST_F(DispatchTest, InstallUpdateOpensTheCallerFirstThenReadsAsTheClient) {
  files.files["C:\\pkg.msi"] = {"abc"};
  files.on_read = [this] {
    EXPECT_EQ(processes.open_handles, 1) << "the caller is opened before the read";
    EXPECT_TRUE(connection.impersonating && !connection.reverted);
  };
  EXPECT_EQ(install_update("C:\\\\pkg.msi"), Reply::success());
  ASSERT_EQ(updates.calls.size(), 1u);
  EXPECT_EQ(updates.calls[0].package, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(updates.calls[0].signature, "c2ln");
  EXPECT_EQ(updates.calls[0].caller.pid, 4242u);
  EXPECT_EQ(test::fake_value(updates.calls[0].caller.process), 4242u);
  EXPECT_EQ(processes.opened, std::vector<std::uint32_t>{4242});
  // The worker may have to wait for the app and end it through this handle.
  EXPECT_EQ(processes.access, std::vector<ProcessAccess>{ProcessAccess::kControl});
  EXPECT_TRUE(connection.reverted);
  EXPECT_EQ(files.opens, std::vector<std::string>{"C:\\pkg.msi"}) << "one open, one handle";
}

TEST_F(DispatchTest, AnEarlyRefusalTouchesNeitherTheCallerNorTheFile) {
  files.files["C:\\pkg.msi"] = {"abc"};
  updates.early_refusal = "signature does not match the Lumar updater key";
  EXPECT_EQ(install_update("C:\\\\pkg.msi"),
            Reply::failure("signature does not match the Lumar updater key"));
  EXPECT_TRUE(processes.opened.empty());
  EXPECT_TRUE(files.opens.empty());
  EXPECT_TRUE(updates.calls.empty());
}

TEST_F(DispatchTest, CallerStepFailuresComeInOrderAndOnlyAGoneCallerIsLogged) {
  files.files["C:\\big"] = {"", kMaxPackageSize + 1};
  files.files["C:\\edge"] = {"x", kMaxPackageSize};
  files.files["C:\\locked"] = {"", std::nullopt, true, "Access is denied. (os error 5)"};
  files.files["C:\\pipe"] = {"", std::nullopt, false};
  // The deadline is looked at before each piece: a first piece that takes
  // the whole time is the last one read.
  files.files["C:\\slow"] = {std::string(kPackageReadChunkBytes + 1, 'x')};
  files.on_read = [this] { log.clock.now += kCallerStepDeadline; };

  EXPECT_EQ(
      install_update("C:/missing"),
      Reply::failure("read C:/missing: The system cannot find the file specified. (os error 2)"));
  EXPECT_TRUE(connection.reverted);
  EXPECT_EQ(install_update("C:\\\\big"), Reply::failure("C:\\big is too large to be a release"));
  EXPECT_EQ(install_update("C:\\\\pipe"), Reply::failure("read C:\\pipe: not a file on disk"));
  // Only a full path on a drive letter is opened at all.
  for (const char* path : {R"(\\\\server\\share\\p.msi)", R"(\\\\?\\C:\\p.msi)",
                           R"(\\\\.\\pipe\\p)", "p.msi", "C:p.msi", ""}) {
    std::string shown = path;
    for (std::size_t at = 0; (at = shown.find("\\\\", at)) != std::string::npos; ++at) {
      shown.erase(at, 1);
    }
    EXPECT_EQ(install_update(path), Reply::failure("read " + shown + ": not a file on disk"));
  }
  EXPECT_EQ(files.opens.size(), 3u) << "a path that is not a local file's was opened";
  EXPECT_EQ(files.bytes_read, 0u) << "an oversized file or a pipe must not be read";
  EXPECT_EQ(install_update("C:\\\\slow"), Reply::failure("read C:\\slow: timed out"));
  EXPECT_EQ(files.bytes_read, kPackageReadChunkBytes);
  files.on_read = nullptr;
  EXPECT_EQ(install_update("C:\\\\edge"), Reply::success());
  EXPECT_EQ(install_update("C:\\\\locked"),
            Reply::failure("read C:\\locked: Access is denied. (os error 5)"));

  connection.can_impersonate = false;
  EXPECT_EQ(install_update("C:\\\\edge"),
            Reply::failure("cannot impersonate the requesting process"));
  EXPECT_TRUE(log.lines().empty());
  // A caller that cannot be opened is refused before anything is read as it.
  connection.can_impersonate = true;
  connection.impersonating = false;
  connection.pid = 777u;
  EXPECT_EQ(install_update("C:\\\\edge"), Reply::failure("open the requesting process 777 (87)"));
  EXPECT_FALSE(connection.impersonating);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "install_update: refused: open the requesting process 777 (87)"});
  connection.pid = Unexpected(std::uint32_t{6});  // invalid handle
  EXPECT_EQ(install_update("C:\\\\edge"), Reply::failure("cannot identify the requesting process"));
  EXPECT_EQ(updates.calls.size(), 1u);
  EXPECT_EQ(processes.open_handles, 1) << "only the accepted request's handle lives on";
}

TEST_F(DispatchTest, NoMemoryForThePackageRevertsAndAnswersWithAnInternalError) {
  files.files["C:\\p"] = {"x"};
  files.on_read = [] { throw std::bad_alloc(); };
  EXPECT_EQ(install_update("C:\\\\p"),
            Reply::failure("install_update: internal error: std::bad_alloc"));
  EXPECT_TRUE(connection.reverted) << "the thread kept the client's identity";
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"install_update: internal error: std::bad_alloc"});
  EXPECT_EQ(processes.open_handles, 0);
  // The next request is served as usual.
  files.on_read = nullptr;
  EXPECT_EQ(install_update("C:\\\\p"), Reply::success());
}

TEST_F(DispatchTest, AFailedRevertEndsTheProcessWithoutAReply) {
  files.files["C:\\p"] = {"x"};
  connection.revert_ok = false;
  EXPECT_EXIT(install_update("C:\\\\p"), ::testing::ExitedWithCode(1),
              "^install_update: RevertToSelf failed; exiting\n$");
  // Also when the read ends in an exception: the guard reverts on the way out.
  files.on_read = [] { throw std::bad_alloc(); };
  EXPECT_EXIT(install_update("C:\\\\p"), ::testing::ExitedWithCode(1),
              "^install_update: RevertToSelf failed; exiting\n$");
}

}  // namespace
}  // namespace lumar
