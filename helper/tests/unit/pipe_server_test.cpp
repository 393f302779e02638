#include "main/pipe_server.h"

#include <gtest/gtest.h>

#include <deque>
#include <new>
#include <optional>
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
using test::FakePipeConnection;
using test::FakeProcesses;
using test::LentPipeConnection;
using test::RecordingLog;
using test::RefusingUpdateAcceptor;

class ScriptedListener : public PipeListener {
 public:
  std::deque<Result<std::unique_ptr<PipeConnection>>> accepts;
  bool out_of_memory = false;
  Result<std::unique_ptr<PipeConnection>> accept() override {
    if (std::exchange(out_of_memory, false)) throw std::bad_alloc();
    Result<std::unique_ptr<PipeConnection>> next = std::move(accepts.front());
    accepts.pop_front();
    return next;
  }
};

class PipeServerTest : public ::testing::Test {
 protected:
  // One connection whose client sends `chunks`, one read each, taking
  // `per_read` for each read.
  FakePipeConnection& serve(std::deque<std::string> chunks,
                            std::chrono::milliseconds per_read = 0ms) {
    transcript.emplace();
    transcript->chunks = std::move(chunks);
    transcript->pid = 1u;
    transcript->can_impersonate = false;
    transcript->on_read = [this, per_read] { clock.now += per_read; };
    listener.accepts.emplace_back(
        std::unique_ptr<PipeConnection>(std::make_unique<LentPipeConnection>(*transcript)));
    server.serve_one();
    return *transcript;
  }
  std::string reply_to(std::deque<std::string> chunks) { return serve(std::move(chunks)).sent; }

  RecordingLog log;
  FakeClock& clock = log.clock;
  FakeClientFiles files;
  FakeProcesses processes;
  DyingProcessExit exit{log};
  CallerStep caller_step{files, processes, log.log, exit, clock};
  RefusingUpdateAcceptor updates;
  Dispatcher dispatcher{Edition::kLite, nullptr, caller_step, updates, log.log};
  ScriptedListener listener;
  PipeServer server{listener, dispatcher, log.log, clock};
  std::optional<FakePipeConnection> transcript;
};

constexpr char kOk[] = "{\"ok\":true}\n";
constexpr char kBad[] = "{\"ok\":false,\"error\":\"bad request\"}\n";

TEST_F(PipeServerTest, ServesTheFirstLineOnlyWithOneReplyAndThenCloses) {
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}\n"}), kOk);
  EXPECT_TRUE(transcript->closed);
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
}

TEST_F(PipeServerTest, StopsReadingOnceTheLineFeedHasArrived) {
  EXPECT_EQ(serve({"{\"op\":\"ping\"}\n", "never read"}).reads, 1);
}

TEST_F(PipeServerTest, StopsReadingWithTheReadThatCrossesTheSizeBound) {
  std::deque<std::string> chunks(293, std::string(1024, 'a'));  // 300 032 bytes, no line feed
  const FakePipeConnection& t = serve(chunks);
  EXPECT_EQ(t.sent, kBad);
  // Reads are 1024 bytes at most: 256 reads reach 262 144 bytes exactly,
  // which is not over the bound; the 257th crosses it and is the last.
  EXPECT_EQ(t.reads, 257);
}

TEST_F(PipeServerTest, InvalidUtf8AndSplitCharactersBecomeReplacementCharacters) {
  EXPECT_EQ(reply_to({"{\"op\":\"ping\",\"x\":\"\xFF\xC3\"}\n"}), kOk);
  // "é" split over two reads: each half is decoded on its own.
  std::string first = "{\"op\":\"ping\",\"x\":\"" + std::string(1024 - 19, 'a');
  first += "\xC3";
  ASSERT_EQ(first.size(), 1024u);
  EXPECT_EQ(reply_to({first, "\xA9\"}\n"}), kOk);
  EXPECT_EQ(reply_to({std::string("\0\n", 2)}), kBad);
}

TEST_F(PipeServerTest, AClientHoldsTheServerForTenSecondsAtMostAllTold) {
  const Deadline start = clock.now;
  // A client that sends a byte every three seconds and never a line feed.
  const FakePipeConnection& slow = serve({"{", "\"", "o", "p", "\"", ":"}, 3s);
  EXPECT_EQ(slow.sent, kBad);
  for (Deadline d : slow.read_deadlines) EXPECT_EQ(d, start + 9s);
  // Its reads overran the whole budget: the reply still gets the grace second.
  EXPECT_EQ(slow.send_deadline, clock.now + 1s);

  // A prompt client keeps nearly the whole budget for taking its reply.
  const Deadline before = clock.now;
  const FakePipeConnection& prompt = serve({"{\"op\":\"ping\"}\n"}, 1s);
  EXPECT_EQ(prompt.read_deadlines.front(), before + 9s);
  EXPECT_EQ(prompt.send_deadline, before + 1s + 9s);
}

TEST_F(PipeServerTest, CreationAndConnectFailuresAreLoggedAndRetriedAfterAPause) {
  listener.accepts.emplace_back(fail("CreateNamedPipeW failed (5)"));
  server.serve_one();
  listener.accepts.emplace_back(fail("ConnectNamedPipe failed (232)"));
  server.serve_one();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"pipe: CreateNamedPipeW failed (5)",
                                                   "pipe: ConnectNamedPipe failed (232)"}));
  EXPECT_EQ(clock.sleeps, (std::vector<std::chrono::milliseconds>{300ms, 300ms}));
  // A request connection logs nothing when it goes well.
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}\n"}), kOk);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(PipeServerTest, AnExceptionInAPassIsLoggedAndTheServerGoesOn) {
  listener.out_of_memory = true;
  server.serve_one();
  EXPECT_EQ(log.lines(), std::vector<std::string>{"pipe: internal error: std::bad_alloc"});
  EXPECT_EQ(clock.sleeps, std::vector<std::chrono::milliseconds>{300ms});
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}\n"}), kOk);
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
  const std::string squatter = pipe_creation_error(5, true);
  // Two minutes of a squatter: one pass every 300 ms.
  for (int i = 0; i < 400; ++i) {
    listener.accepts.emplace_back(fail(squatter));
    server.serve_one();
  }
  EXPECT_EQ(clock.sleeps.size(), 400u);
  EXPECT_EQ(log.lines(), std::vector<std::string>(2, "pipe: " + squatter));

  // Another failure is logged at once, and so is the first one after it,
  // or after a connection.
  for (const std::string& error : {std::string("ConnectNamedPipe failed (6)"), squatter}) {
    listener.accepts.emplace_back(fail(error));
    server.serve_one();
  }
  EXPECT_EQ(reply_to({"{\"op\":\"ping\"}\n"}), kOk);
  listener.accepts.emplace_back(fail(squatter));
  server.serve_one();
  EXPECT_EQ(log.lines().size(), 5u);
}

}  // namespace
}  // namespace lumar
