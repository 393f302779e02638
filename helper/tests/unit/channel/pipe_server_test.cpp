#include "main/channel/pipe_server.h"

#include <gtest/gtest.h>

#include <deque>
#include <new>
#include <set>
#include <utility>

#include "fakes/fake_client_files.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_log.h"
#include "fakes/fake_pipe.h"
#include "fakes/fake_processes.h"
#include "fakes/fake_updates.h"

namespace lumar {
namespace {

using namespace std::chrono_literals;
using test::DyingProcessExit;
using test::FakeClientFiles;
using test::FakeClock;
using test::FakePipeClient;
using test::FakePipeInstances;
using test::FakeProcesses;
using test::RecordingLog;
using test::RefusingUpdateAcceptor;

constexpr char kOk[] = "{\"ok\":true}\n";
constexpr char kBad[] = "{\"ok\":false,\"error\":\"bad request\"}\n";
constexpr char kPing[] = "{\"op\":\"ping\"}\n";
// Processes from this pid on are copies of the application.
constexpr std::uint32_t kAppPid = 900;

// Instances that throw once when asked for the next event.
class ThrowingOnce final : public PipeInstances {
 public:
  explicit ThrowingOnce(FakePipeInstances& inner) : inner_(inner) {}
  bool armed = false;
  Result<PipeInstanceId> listen() override { return inner_.listen(); }
  void read(PipeInstanceId i) override { inner_.read(i); }
  void reply(PipeInstanceId i, std::string b) override { inner_.reply(i, std::move(b)); }
  void close(PipeInstanceId i) override { inner_.close(i); }
  std::optional<PipeEvent> wait(Deadline until) override {
    if (std::exchange(armed, false)) throw std::bad_alloc();
    return inner_.wait(until);
  }
  std::optional<PipeEvent> take_ready() override { return inner_.take_ready(); }
  PipeConnection& connection(PipeInstanceId i) override { return inner_.connection(i); }

 private:
  FakePipeInstances& inner_;
};

class PipeServerTest : public ::testing::Test {
 protected:
  PipeServerTest() { server.serve_one(); }  // the first instances wait

  // One client, sending `chunks` as they are read, then closing; the server
  // turns until it has been answered and let go.
  FakePipeClient& serve(std::deque<std::string> chunks, std::uint32_t pid = 1) {
    FakePipeClient* client = pipe.connect(FakePipeClient{.chunks = std::move(chunks)}, pid);
    for (int turn = 0; turn < 10 && !client->closed; ++turn) server.serve_one();
    return *client;
  }
  std::string reply_to(std::deque<std::string> chunks) { return serve(std::move(chunks)).sent; }
  void turns(int n) {
    for (int i = 0; i < n; ++i) server.serve_one();
  }

  RecordingLog log;
  FakeClock& clock = log.clock;
  FakeClientFiles files;
  FakeProcesses processes;
  DyingProcessExit exit{log};
  CallerStep caller_step{files, processes, log.log, exit, clock};
  RefusingUpdateAcceptor updates;
  Dispatcher dispatcher{Edition::kLite, nullptr, caller_step, updates, log.log};
  FakePipeInstances pipe{clock};
  ThrowingOnce instances{pipe};
  PipeServer server{instances, dispatcher, log.log, clock,
                    [](std::uint32_t pid) { return pid >= kAppPid; }};
};

TEST_F(PipeServerTest, ServesTheFirstLineOnlyWithOneReplyAndThenCloses) {
  EXPECT_EQ(reply_to({kPing}), kOk);
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}\r\n"}), kOk);
  // One CR belongs to the line end; a second is JSON white space.
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}\r\r\n"}), kOk);
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}\r\n\r\n"}), kOk);
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}\n{\"op\":\"kill\"}\n"}), kOk);
  EXPECT_EQ(reply_to({"{\"op\":", "\"ping\"}\nrest"}), kOk);
  // No line feed: what arrived before the client closed is the line.
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}"}), kOk);
  // Nothing at all, or only a line feed.
  EXPECT_EQ(reply_to({}), kBad);
  EXPECT_EQ(reply_to({"\n"}), kBad);
  // Invalid UTF-8 becomes U+FFFD, and so does a character split over two
  // reads, each half decoded on its own.
  EXPECT_EQ(reply_to({"{\"op\":\"ping\",\"x\":\"\xFF\xC3\"}\n"}), kOk);
  std::string first = "{\"op\":\"ping\",\"x\":\"" + std::string(1024 - 19, 'a') + "\xC3";
  EXPECT_EQ(reply_to({first, "\xA9\"}\n"}), kOk);
  EXPECT_EQ(reply_to({std::string("\0\n", 2)}), kBad);
  EXPECT_EQ(pipe.connected(), 0u);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PipeServerTest, StopsReadingAtTheLineFeedOrWithTheReadThatCrossesTheSizeBound) {
  EXPECT_EQ(serve({kPing, "never read"}).reads, 1);
  // 300 032 bytes, no line feed: 256 reads reach 262 144 bytes exactly,
  // which is not over the bound; the 257th crosses it and is the last.
  const FakePipeClient& big = serve(std::deque<std::string>(293, std::string(1024, 'a')));
  EXPECT_EQ(big.sent, kBad);
  EXPECT_EQ(big.reads, 257);
}

TEST_F(PipeServerTest, StallersAreAnsweredAtTheirDeadlineWhileOthersAreServedAtOnce) {
  const Deadline start = clock.now;
  std::vector<FakePipeClient*> stallers;
  for (std::uint32_t pid = 10; pid < 26; ++pid) {
    stallers.push_back(pipe.connect_stalling(pid, {"{\"op\":"}));
    turns(1);
  }
  EXPECT_EQ(clock.now, start);
  EXPECT_EQ(serve({kPing}).sent, kOk);
  EXPECT_EQ(clock.now, start);

  // Nine seconds to send, then what was sent is answered; a staller that
  // does not take its reply is let go when its ten seconds are up.
  stallers[0]->takes_reply = false;
  turns(1);
  EXPECT_EQ(clock.now, start + 9s);
  for (const FakePipeClient* staller : stallers) EXPECT_EQ(staller->sent, kBad);
  EXPECT_FALSE(stallers[0]->closed);
  turns(2);
  EXPECT_EQ(clock.now, start + 10s);
  EXPECT_TRUE(stallers[0]->closed);
  EXPECT_EQ(pipe.connected(), 0u);
}

TEST_F(PipeServerTest, AClientOverItsShareIsClosedAtOnceAndSummedUpOnceAMinute) {
  const auto flood = [&](int extra) {
    std::vector<FakePipeClient*> held;
    for (int i = 0; i < 4; ++i) held.push_back(pipe.connect_stalling(7));
    turns(1);
    for (int i = 0; i < extra; ++i) {
      FakePipeClient* turned_away = pipe.connect_stalling(7);
      turns(1);
      EXPECT_TRUE(turned_away->closed);
    }
    // The four it may hold are answered at their deadline.
    turns(2);
    for (const FakePipeClient* client : held) EXPECT_EQ(client->sent, kBad);
  };
  flood(10);
  clock.now += 60s;
  flood(1);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"pipe: turned away connections: 1 over their "
                                      "client's share of 4, 0 when instances ran short",
                                      "pipe: turned away connections: 10 over their "
                                      "client's share of 4, 0 when instances ran "
                                      "short"}));
  // Another process is not held back by the first one's share.
  EXPECT_EQ(serve({kPing}, 8).sent, kOk);
}

TEST_F(PipeServerTest, AClientThatComesAgainLetsGoOfItsOwnRepliesUnderWayFirst) {
  // Four pings whose replies are not taken yet, then a fifth: the earliest
  // reply under way gives way, and the newcomer is served.
  std::vector<FakePipeClient*> earlier;
  for (int i = 0; i < 4; ++i) {
    earlier.push_back(pipe.connect(FakePipeClient{.chunks = {kPing}, .takes_reply = false}, 7));
  }
  turns(1);
  EXPECT_EQ(serve({kPing}, 7).sent, kOk);
  EXPECT_TRUE(earlier[0]->closed);
  EXPECT_FALSE(earlier[1]->closed);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PipeServerTest, WhenInstancesRunShortTheApplicationsConnectionsAreKept) {
  std::vector<FakePipeClient*> stallers;
  for (std::uint32_t pid = 100; stallers.size() < kMaxConnections; ++pid) {
    stallers.push_back(pipe.connect_stalling(pid));
    turns(1);
  }
  EXPECT_EQ(pipe.waiting(), kWaitingInstances);
  // The application comes: the staller connected first makes room for it.
  EXPECT_EQ(serve({"{\"op\":\"ping\"}"}, kAppPid).sent, kOk);
  EXPECT_TRUE(stallers[0]->closed);
  EXPECT_TRUE(stallers[0]->sent.empty());
  EXPECT_FALSE(stallers[1]->closed);

  // Copies of the application take every place, one staller after another.
  std::vector<FakePipeClient*> apps;
  for (std::uint32_t i = 0; i < kMaxConnections; ++i) {
    apps.push_back(pipe.connect_stalling(kAppPid + 1 + i / 4));
    turns(1);
  }
  for (const FakePipeClient* staller : stallers) EXPECT_TRUE(staller->closed);
  // Then an other newcomer is turned away; the application's are kept.
  FakePipeClient* other = pipe.connect_stalling(50);
  turns(1);
  EXPECT_TRUE(other->closed);
  EXPECT_EQ(pipe.connected(), kMaxConnections);
  for (const FakePipeClient* app : apps) EXPECT_FALSE(app->closed);
  EXPECT_EQ(pipe.waiting(), kWaitingInstances);
}

TEST_F(PipeServerTest, RequestsAreCarriedOutInTheOrderTheirLinesCameComplete) {
  // 1 connects first but its line comes last, over three reads.
  pipe.connect(FakePipeClient{.chunks = {"{\"op\"", ":\"pi", "ng\"}\n"}}, 1);
  pipe.connect(FakePipeClient{.chunks = {kPing}}, 2);
  pipe.connect(FakePipeClient{.chunks = {"[\"ping\"", "]\n"}}, 3);
  FakePipeClient* stalled = pipe.connect_stalling(4, {"{\"op\":"});
  turns(1);
  pipe.send(*stalled, "\"ping\"}\n");
  turns(2);
  EXPECT_EQ(pipe.replied_to, (std::vector<std::uint32_t>{2, 3, 1, 4}));
}

TEST_F(PipeServerTest, CreationAndConnectFailuresAreLoggedAndRetriedAfterAPause) {
  pipe.fail_connect(232);
  turns(1);
  const Deadline failed = clock.now;
  pipe.listen_failures = {"CreateNamedPipeW failed (5)"};
  turns(2);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"pipe: ConnectNamedPipe failed (232)",
                                                   "pipe: CreateNamedPipeW failed (5)"}));
  // No instance was made for 300 ms after each failure, then they were.
  EXPECT_EQ(clock.now, failed + 600ms);
  EXPECT_EQ(pipe.waiting(), kWaitingInstances);
  EXPECT_EQ(reply_to({kPing}), kOk);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(PipeServerTest, AnExceptionInATurnIsLoggedAndTheServerGoesOn) {
  instances.armed = true;
  server.serve_one();
  EXPECT_EQ(log.lines(), std::vector<std::string>{"pipe: internal error: std::bad_alloc"});
  EXPECT_EQ(clock.sleeps, std::vector<std::chrono::milliseconds>{300ms});
  EXPECT_EQ(reply_to({kPing}), kOk);
}

// Wine lets any process create instances of any pipe, and its
// FILE_FLAG_FIRST_PIPE_INSTANCE never refuses while the name exists, so a
// squatter cannot be staged there: the reading of the refusal and the
// retry's logging are shown here.
TEST(PipeCreationError, AFirstInstanceRefusedForATakenNameNamesTheSquatter) {
  const struct {
    std::uint32_t code;
    bool name_taken;
    const char* text;
  } cases[] = {
      {5, true, R"(another process holds \\.\pipe\lumar_helper (5))"},
      {231, true, R"(another process holds \\.\pipe\lumar_helper (231))"},
      {5, false, "CreateNamedPipeW failed (5)"},
  };
  for (const auto& c : cases) EXPECT_EQ(pipe_creation_error(c.code, c.name_taken), c.text);
}

TEST_F(PipeServerTest, ARepeatedFailureIsRetriedEveryPauseButLoggedOnceAMinute) {
  FakePipeInstances squatted{clock};
  PipeServer lone{squatted, dispatcher, log.log, clock, nullptr};
  const std::string squatter = pipe_creation_error(5, true);
  // Nearly two minutes of a squatter: one try every 300 ms.
  squatted.listen_failures.assign(500, squatter);
  const Deadline start = clock.now;
  for (int i = 0; i < 390; ++i) lone.serve_one();
  EXPECT_EQ(clock.now, start + 390 * 300ms);
  EXPECT_EQ(log.lines(), std::vector<std::string>(2, "pipe: " + squatter));

  // Another failure is logged at once, and so is the first one after it;
  // then the pipe serves.
  squatted.listen_failures = {"CreateNamedPipeW failed (6)", squatter};
  for (int i = 0; i < 3; ++i) lone.serve_one();
  EXPECT_EQ(log.lines().size(), 4u);
  FakePipeClient* client = squatted.connect(FakePipeClient{.chunks = {kPing}}, 1);
  for (int i = 0; i < 2; ++i) lone.serve_one();
  EXPECT_EQ(client->sent, kOk);
}

}  // namespace
}  // namespace lumar
