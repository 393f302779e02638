#include "main/channel/pipe_server.h"

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

#include "main/base/text.h"
#include "main/platform/thread_guard.h"
#include "main/service/product.h"

namespace lumar {
namespace {

// How many finished operations one turn takes in before it carries out what
// is complete, so that a flood of connections cannot starve the requests.
constexpr std::size_t kEventsPerTurn = 2 * kMaxPipeInstances;
// With nothing to wait for, the loop still wakes this often.
constexpr std::chrono::hours kIdleWake{1};

}  // namespace

std::string pipe_creation_error(std::uint32_t code, bool name_taken) {
  const std::string in_parentheses = " (" + std::to_string(code) + ")";
  if (name_taken) {
    return "another process holds " + std::string(kPipeName) + in_parentheses;
  }
  return "CreateNamedPipeW failed" + in_parentheses;
}

void RequestText::append(std::span<const std::uint8_t> bytes) {
  if (!text_) text_.emplace();
  *text_ += decode_utf8_lossy(bytes);
}

bool RequestText::complete() const {
  return text_ && (text_->find('\n') != std::string::npos || text_->size() > kMaxRequestBytes);
}

std::optional<std::string> RequestText::line() const {
  if (!text_) return std::nullopt;
  return first_line(*text_);
}

std::string first_line(std::string_view text) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return std::string(text);
  std::string_view line = text.substr(0, end);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return std::string(line);
}

void PipeServer::serve_one() {
  // Whatever a turn throws past its requests (no memory for a request text,
  // say) ends that turn only; every connection keeps its deadline.
  if (!guard_thread_body(log_, "pipe", [this] { turn(); })) {
    clock_.sleep_for(kRetryPause);
  }
}

void PipeServer::serve_forever() {
  for (;;) serve_one();
}

void PipeServer::turn() {
  keep_instances_waiting();
  std::size_t taken = 0;
  for (std::optional<PipeEvent> event = instances_.wait(next_wake()); event;
       event = instances_.take_ready()) {
    handle(*event);
    if (++taken == kEventsPerTurn) break;
  }
  // Everything that has finished by now is taken in before a deadline is
  // applied: a line that arrived in time is served even if the loop was
  // busy carrying out another request when it came.
  if (deadline_passed()) {
    for (; taken < kEventsPerTurn; ++taken) {
      std::optional<PipeEvent> event = instances_.wait(clock_.monotonic_now());
      if (!event) break;
      handle(*event);
    }
  }
  expire();
  carry_out_queued();
  keep_instances_waiting();
}

bool PipeServer::deadline_passed() const {
  const Deadline now = clock_.monotonic_now();
  return std::any_of(clients_.begin(), clients_.end(), [now](const auto& entry) {
    return entry.second.stage != Stage::kQueued && entry.second.deadline <= now;
  });
}

void PipeServer::keep_instances_waiting() {
  if (retry_at_ && clock_.monotonic_now() < *retry_at_) return;
  retry_at_.reset();
  while (waiting_.size() < kWaitingInstances &&
         waiting_.size() + clients_.size() < kMaxPipeInstances) {
    Result<PipeInstanceId> made = instances_.listen();
    if (!made.has_value()) {
      report_failure(made.error());
      return;
    }
    waiting_.insert(*made);
  }
}

Deadline PipeServer::next_wake() const {
  const Deadline now = clock_.monotonic_now();
  if (!complete_.empty()) return now;
  Deadline wake = now + kIdleWake;
  if (retry_at_) wake = std::min(wake, *retry_at_);
  for (const auto& [instance, client] : clients_) {
    if (client.stage != Stage::kQueued) wake = std::min(wake, client.deadline);
  }
  return wake;
}

void PipeServer::handle(PipeEvent& event) {
  const PipeInstanceId instance = event.instance;
  switch (event.kind) {
    case PipeEvent::Kind::kConnected:
      waiting_.erase(instance);
      last_failure_.reset();
      admit(instance);
      return;
    case PipeEvent::Kind::kConnectFailed:
      waiting_.erase(instance);
      instances_.close(instance);
      report_failure("ConnectNamedPipe failed (" + std::to_string(event.code) + ")");
      return;
    case PipeEvent::Kind::kReceived: {
      const auto found = clients_.find(instance);
      if (found == clients_.end() || found->second.stage != Stage::kReading) return;
      Client& client = found->second;
      if (event.bytes.empty()) return queue(instance, client);
      client.text.append(event.bytes);
      if (client.text.complete()) return queue(instance, client);
      instances_.read(instance);
      return;
    }
    case PipeEvent::Kind::kReplied: {
      const auto found = clients_.find(instance);
      if (found != clients_.end() && found->second.stage == Stage::kReplying) drop(instance);
      return;
    }
  }
}

void PipeServer::admit(PipeInstanceId instance) {
  const Deadline now = clock_.monotonic_now();
  Client client;
  client.order = ++connects_;
  client.connected = now;
  client.deadline = now + kClientTimeLimit - kReplyGrace;
  // A share can be exceeded only once as many connections are open as one
  // client may hold: only then is the pipe asked who its clients are.
  if (clients_.size() >= kConnectionsPerClient && !make_room_in_share(instance, client)) {
    instances_.close(instance);
    note_turned_away(true);
    return;
  }
  if (clients_.size() >= kMaxConnections) {
    const std::optional<PipeInstanceId> evicted = eviction_candidate();
    note_turned_away(false);
    if (!evicted) {
      instances_.close(instance);
      return;
    }
    drop(*evicted);
  }
  clients_.emplace(instance, std::move(client));
  instances_.read(instance);
}

std::optional<std::uint32_t> PipeServer::pid_of(PipeInstanceId instance, Client& client) {
  // The pipe keeps the pid it was given at connect time.
  if (!client.pid_read) {
    const SystemResult<std::uint32_t> pid = instances_.connection(instance).client_process_id();
    if (pid.has_value()) client.pid = *pid;
    client.pid_read = true;
  }
  return client.pid;
}

bool PipeServer::make_room_in_share(PipeInstanceId newcomer, Client& client) {
  const std::optional<std::uint32_t> pid = pid_of(newcomer, client);
  std::size_t held = 0;
  std::vector<std::pair<std::uint64_t, PipeInstanceId>> replying;
  for (auto& [instance, other] : clients_) {
    if (pid_of(instance, other) != pid) continue;
    ++held;
    if (other.stage == Stage::kReplying) replying.emplace_back(other.order, instance);
  }
  // Its replies under way give way first, earliest first: a client that
  // connects again has taken them, or does not care for them.
  std::sort(replying.begin(), replying.end());
  for (auto next = replying.begin(); held >= kConnectionsPerClient && next != replying.end();
       ++next, --held) {
    drop(next->second);
  }
  return held < kConnectionsPerClient;
}

bool PipeServer::is_app(PipeInstanceId instance, Client& client) {
  if (!client.app) {
    const std::optional<std::uint32_t> pid = pid_of(instance, client);
    client.app = pid && is_app_ && is_app_(*pid);
  }
  return *client.app;
}

std::optional<PipeInstanceId> PipeServer::eviction_candidate() {
  // Those still sending first, then those whose reply is under way.
  std::vector<std::tuple<bool, std::uint64_t, PipeInstanceId>> movable;
  for (const auto& [instance, client] : clients_) {
    if (client.stage == Stage::kQueued) continue;
    movable.emplace_back(client.stage == Stage::kReplying, client.order, instance);
  }
  std::sort(movable.begin(), movable.end());
  for (const auto& [replying, order, instance] : movable) {
    if (!is_app(instance, clients_.at(instance))) return instance;
  }
  return std::nullopt;
}

void PipeServer::queue(PipeInstanceId instance, Client& client) {
  client.stage = Stage::kQueued;
  client.spent_reading = clock_.monotonic_now() - client.connected;
  complete_.push_back(instance);
}

void PipeServer::expire() {
  const Deadline now = clock_.monotonic_now();
  std::vector<PipeInstanceId> past_reply;
  for (auto& [instance, client] : clients_) {
    if (client.stage == Stage::kQueued || now < client.deadline) continue;
    // A client out of time for sending is answered with what it sent.
    if (client.stage == Stage::kReading) queue(instance, client);
    if (client.stage == Stage::kReplying) past_reply.push_back(instance);
  }
  for (const PipeInstanceId instance : past_reply) drop(instance);
}

void PipeServer::carry_out_queued() {
  while (!complete_.empty()) {
    const PipeInstanceId instance = complete_.front();
    complete_.pop_front();
    const auto found = clients_.find(instance);
    if (found == clients_.end()) continue;
    Client& client = found->second;
    // Replying from here on: should anything below throw, the deadline
    // still closes the connection.
    client.stage = Stage::kReplying;
    client.deadline = clock_.monotonic_now() + kClientTimeLimit;
    const Reply reply = dispatcher_.dispatch(client.text.line(), instances_.connection(instance));
    const auto reply_time = std::max<std::chrono::steady_clock::duration>(
        kClientTimeLimit - client.spent_reading, kReplyGrace);
    client.deadline = clock_.monotonic_now() + reply_time;
    instances_.reply(instance, serialize_reply(reply) + '\n');
  }
}

void PipeServer::drop(PipeInstanceId instance) {
  instances_.close(instance);
  clients_.erase(instance);
}

void PipeServer::report_failure(const std::string& error) {
  const Deadline now = clock_.monotonic_now();
  if (error != last_failure_ || now - last_failure_logged_ >= kRepeatedFailureLogInterval) {
    log_.write("pipe: " + error);
    last_failure_ = error;
    last_failure_logged_ = now;
  }
  retry_at_ = now + kRetryPause;
}

void PipeServer::note_turned_away(bool over_share) {
  ++(over_share ? over_share_ : short_of_instances_);
  const Deadline now = clock_.monotonic_now();
  if (turned_away_logged_ && now - *turned_away_logged_ < kRepeatedFailureLogInterval) return;
  log_.write("pipe: turned away connections: " + std::to_string(over_share_) +
             " over their client's share of " + std::to_string(kConnectionsPerClient) + ", " +
             std::to_string(short_of_instances_) + " when instances ran short");
  over_share_ = 0;
  short_of_instances_ = 0;
  turned_away_logged_ = now;
}

}  // namespace lumar
