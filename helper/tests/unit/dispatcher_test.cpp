#include "main/dispatcher.h"

#include <gtest/gtest.h>

#include "fakes/fake_system.h"

namespace lumar {
namespace {

using test::ExitCalled;
using test::FakeClientFiles;
using test::FakePipeConnection;
using test::FakeProcessExit;
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
    std::uint32_t pid;
  };
  std::vector<Call> calls;
  Reply accept_update(Bytes package, const std::string& signature, std::uint32_t pid) override {
    calls.push_back({std::move(package), signature, pid});
    return Reply::success();
  }
};

class DispatchTest : public ::testing::Test {
 protected:
  Reply dispatch(Edition edition, std::optional<std::string_view> line) {
    Dispatcher dispatcher(edition, &host_actions, caller_step, updates);
    return dispatcher.dispatch(line, connection);
  }
  Reply install_update(std::string_view path) {
    return dispatch(Edition::kLite, R"({"op":"install_update","path":")" + std::string(path) +
                                        R"(","signature":"c2ln"})");
  }

  RecordingLog log;
  FakeClientFiles files;
  FakeProcessExit exit;
  CallerStep caller_step{files, log.log, exit};
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
  EXPECT_EQ(handle_simple_action(InstallUpdate{"p", "s"}, &host_actions),
            Reply::failure("install_update is not supported here"));
}

TEST_F(DispatchTest, InstallUpdateReadsThePackageAsTheClientAndHandsItOn) {
  files.files["C:\\pkg.msi"] = {3, "abc", std::nullopt};
  EXPECT_EQ(install_update("C:\\\\pkg.msi"), Reply::success());
  ASSERT_EQ(updates.calls.size(), 1u);
  EXPECT_EQ(updates.calls[0].package, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(updates.calls[0].signature, "c2ln");
  EXPECT_EQ(updates.calls[0].pid, 4242u);
  EXPECT_TRUE(connection.impersonating);
  EXPECT_TRUE(connection.reverted);
}

TEST_F(DispatchTest, CallerStepFailuresComeInOrderAndAreNotLogged) {
  files.files["big"] = {kMaxPackageSize + 1, "", std::nullopt};
  files.files["edge"] = {kMaxPackageSize, "x", std::nullopt};
  files.files["locked"] = {5, "", "Access is denied. (os error 5)"};

  EXPECT_EQ(install_update("missing"),
            Reply::failure("read missing: The system cannot find the file specified. (os error 2)"));
  EXPECT_TRUE(connection.reverted);
  EXPECT_EQ(install_update("big"), Reply::failure("big is too large to be a release"));
  EXPECT_TRUE(files.reads.empty()) << "an oversized package must not be read";
  EXPECT_EQ(install_update("edge"), Reply::success());
  EXPECT_EQ(files.reads, std::vector<std::string>{"edge"});
  EXPECT_EQ(install_update("locked"), Reply::failure("read locked: Access is denied. (os error 5)"));

  connection.can_impersonate = false;
  EXPECT_EQ(install_update("edge"), Reply::failure("cannot impersonate the requesting process"));
  connection.pid.reset();
  EXPECT_EQ(install_update("edge"), Reply::failure("cannot identify the requesting process"));
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(updates.calls.size(), 1u);
}

TEST_F(DispatchTest, AFailedRevertEndsTheProcessWithoutAReply) {
  files.files["p"] = {1, "x", std::nullopt};
  connection.revert_ok = false;
  try {
    install_update("p");
    FAIL() << "the helper went on under the client's identity";
  } catch (const ExitCalled& exit_called) {
    EXPECT_EQ(exit_called.code, 1);
  }
  EXPECT_EQ(log.lines(), std::vector<std::string>{"install_update: RevertToSelf failed; exiting"});
  EXPECT_TRUE(updates.calls.empty());
}

}  // namespace
}  // namespace lumar
