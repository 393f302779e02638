// The helper's only request channel: one request line in, one reply line out
// per connection, for ever. Many clients are read at once, each under its own
// deadline, but their requests are carried out one at a time on this one
// thread, in the order their lines were complete.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "main/channel/dispatcher.h"
#include "main/channel/pipe.h"
#include "main/platform/clock.h"
#include "main/service/helper_log.h"

namespace lumar {

// A request line is read until its line feed, or until it is this long.
inline constexpr std::size_t kMaxRequestBytes = 262144;
// How long one client may take, all told: the time it takes to send its
// request and the time it takes to read its reply. The work done for the
// request in between is not the client's and does not count.
inline constexpr std::chrono::seconds kClientTimeLimit{10};
// Of that, what is always kept for taking the reply, so that a client which
// was slow to send still gets its answer if it reads promptly.
inline constexpr std::chrono::seconds kReplyGrace{1};
inline constexpr std::chrono::milliseconds kRetryPause{300};
// A failure that repeats (another process holding the pipe's name, say) is
// retried every pause but logged again only this often: the log is never
// rotated, so a squatter must not be able to fill the disk through it. Turned
// away connections are summed up no more often either.
inline constexpr std::chrono::seconds kRepeatedFailureLogInterval{60};

// The instances the helper holds at most, connected or waiting, and how
// many of them wait for the next clients: the rest, at most, are connected.
inline constexpr std::size_t kMaxPipeInstances = 64;
inline constexpr std::size_t kWaitingInstances = 4;
inline constexpr std::size_t kMaxConnections = kMaxPipeInstances - kWaitingInstances;
// Open connections one client process may hold; one more is closed at once.
inline constexpr std::size_t kConnectionsPerClient = 4;

// Whether the process behind a connection, known by the pid the pipe gave at
// connect time, is the application (asked only when instances run short). Its connections are kept
// in preference to others' when instances run short.
using AppClientCheck = std::function<bool(std::uint32_t pid)>;

// The request text of one connection as it arrives: reads decoded one by one
// (invalid UTF-8 becomes U+FFFD) until a line feed arrives or the text passes
// the size bound. Nothing when no byte at all arrived.
class RequestText {
 public:
  void append(std::span<const std::uint8_t> bytes);
  bool complete() const;
  // The first line, without its line feed and one carriage return before it.
  std::optional<std::string> line() const;

 private:
  std::optional<std::string> text_;
};

// The first line of the text, without its line feed and one carriage return
// before it.
std::string first_line(std::string_view text);

class PipeServer {
 public:
  PipeServer(PipeInstances& instances, Dispatcher& dispatcher, HelperLog& log, const Clock& clock,
             AppClientCheck is_app)
      : instances_(instances),
        dispatcher_(dispatcher),
        log_(log),
        clock_(clock),
        is_app_(std::move(is_app)) {}

  [[noreturn]] void serve_forever();
  // One turn of the loop: keep instances waiting, wait for what comes next
  // (or the nearest deadline), take in all that has come, end what is past
  // its deadline, and carry out the complete requests in order. The thread's
  // boundary: an exception is logged as "pipe: internal error: {what}" and
  // the loop goes on after a pause.
  void serve_one();

 private:
  enum class Stage { kReading, kQueued, kReplying };
  struct Client {
    std::uint64_t order = 0;  // connect order
    // What the pipe says of the client's pid, asked when first needed.
    bool pid_read = false;
    std::optional<std::uint32_t> pid;
    // Whether it is the application's, looked up only when instances run
    // short, and then kept.
    std::optional<bool> app;
    Stage stage = Stage::kReading;
    Deadline connected{};
    Deadline deadline{};  // of the stage: reading or replying
    std::chrono::steady_clock::duration spent_reading{};
    RequestText text;
  };

  void turn();
  void keep_instances_waiting();
  Deadline next_wake() const;
  void handle(PipeEvent& event);
  void admit(PipeInstanceId instance);
  std::optional<std::uint32_t> pid_of(PipeInstanceId instance, Client& client);
  bool deadline_passed() const;
  // Whether a newcomer fits in its client's share, once the client's own
  // replies under way have been let go as far as needed.
  bool make_room_in_share(PipeInstanceId newcomer, Client& client);
  // The one to close for a newcomer when connections run short: not the
  // application's; the earliest connected one still sending, else the
  // earliest whose reply is under way.
  std::optional<PipeInstanceId> eviction_candidate();
  bool is_app(PipeInstanceId instance, Client& client);
  void queue(PipeInstanceId instance, Client& client);
  void expire();
  void carry_out_queued();
  void drop(PipeInstanceId instance);
  void report_failure(const std::string& error);
  void note_turned_away(bool over_share);

  PipeInstances& instances_;
  Dispatcher& dispatcher_;
  HelperLog& log_;
  const Clock& clock_;
  AppClientCheck is_app_;

  std::set<PipeInstanceId> waiting_;
  std::map<PipeInstanceId, Client> clients_;
  std::deque<PipeInstanceId> complete_;  // in the order their lines completed
  std::uint64_t connects_ = 0;
  std::optional<Deadline> retry_at_;

  // The last failure logged and when; cleared by a connection.
  std::optional<std::string> last_failure_;
  Deadline last_failure_logged_{};
  // Connections turned away since the last summary line.
  std::uint64_t over_share_ = 0;
  std::uint64_t short_of_instances_ = 0;
  std::optional<Deadline> turned_away_logged_;
};

}  // namespace lumar
