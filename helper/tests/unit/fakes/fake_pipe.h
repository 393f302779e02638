// The pipe as tests script it: a client's identity for the request it sent,
// and the pipe's instances with clients that send, stall, close and take
// their replies as told.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "main/channel/pipe.h"

namespace lumar::test {

class FakeImpersonation : public Impersonation {
 public:
  FakeImpersonation(bool* reverted, bool revert_ok) : reverted_(reverted), revert_ok_(revert_ok) {}
  bool revert() noexcept override {
    *reverted_ = true;
    return revert_ok_;
  }

 private:
  bool* reverted_;
  bool revert_ok_;
};

class FakePipeConnection : public PipeConnection {
 public:
  SystemResult<std::uint32_t> pid = 4242u;
  bool can_impersonate = true;
  bool revert_ok = true;
  bool impersonating = false;
  bool reverted = false;

  SystemResult<std::uint32_t> client_process_id() override { return pid; }
  std::unique_ptr<Impersonation> impersonate() override {
    if (!can_impersonate) return nullptr;
    impersonating = true;
    return std::make_unique<FakeImpersonation>(&reverted, revert_ok);
  }
};

// One client of FakePipeInstances: what it sends, read by read, and then
// either the end of its data or nothing more (it stalls); whether it takes
// its reply. The rest is what it saw.
struct FakePipeClient {
  std::deque<std::string> chunks;
  bool closes = true;
  bool takes_reply = true;
  FakePipeConnection connection;

  int reads = 0;
  std::string sent;
  bool closed = false;
  // Internal: the instance it is on and whether a read waits for data.
  PipeInstanceId instance = 0;
  bool read_waiting = false;
};

// Instances on a fake clock: a wait with nothing to report lets time pass to
// its end. Every client is kept, so that tests can read what it saw.
class FakePipeInstances final : public PipeInstances {
 public:
  explicit FakePipeInstances(FakeClock& clock) : clock_(clock) {}

  // The next listens fail with these errors, in turn.
  std::deque<std::string> listen_failures;
  // The pid of each client replied to, in the order of the replies.
  std::vector<std::uint32_t> replied_to;

  // A client comes to the first waiting instance; null when none waits.
  FakePipeClient* connect(FakePipeClient client, std::uint32_t pid) {
    if (waiting_.empty()) return nullptr;
    client.connection.pid = pid;
    client.instance = waiting_.front();
    waiting_.pop_front();
    clients_.push_back(std::make_unique<FakePipeClient>(std::move(client)));
    FakePipeClient* connected = clients_.back().get();
    on_[connected->instance] = connected;
    ready_.push_back({.kind = PipeEvent::Kind::kConnected, .instance = connected->instance});
    return connected;
  }
  FakePipeClient* connect_stalling(std::uint32_t pid, std::deque<std::string> chunks = {}) {
    return connect(FakePipeClient{.chunks = std::move(chunks), .closes = false}, pid);
  }
  // Waiting for a client fails on the first waiting instance.
  void fail_connect(std::uint32_t code) {
    const PipeInstanceId instance = waiting_.front();
    waiting_.pop_front();
    ready_.push_back({.kind = PipeEvent::Kind::kConnectFailed, .instance = instance, .code = code});
  }
  // A stalled client sends more.
  void send(FakePipeClient& client, std::string chunk) {
    client.chunks.push_back(std::move(chunk));
    if (std::exchange(client.read_waiting, false)) read(client.instance);
  }

  std::size_t waiting() const { return waiting_.size(); }
  std::size_t connected() const { return on_.size(); }

  Result<PipeInstanceId> listen() override {
    if (!listen_failures.empty()) {
      std::string error = std::move(listen_failures.front());
      listen_failures.pop_front();
      return fail(std::move(error));
    }
    waiting_.push_back(++last_);
    return last_;
  }
  void read(PipeInstanceId instance) override {
    FakePipeClient& client = *on_.at(instance);
    ++client.reads;
    PipeEvent event{.kind = PipeEvent::Kind::kReceived, .instance = instance};
    if (!client.chunks.empty()) {
      std::string& next = client.chunks.front();
      const std::size_t n = std::min(next.size(), kReadChunkBytes);
      event.bytes.assign(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(n));
      next.erase(0, n);
      if (next.empty()) client.chunks.pop_front();
    } else if (!client.closes) {
      client.read_waiting = true;
      return;
    }
    ready_.push_back(std::move(event));
  }
  void reply(PipeInstanceId instance, std::string bytes) override {
    FakePipeClient& client = *on_.at(instance);
    client.sent += bytes;
    replied_to.push_back(*client.connection.pid);
    if (client.takes_reply)
      ready_.push_back({.kind = PipeEvent::Kind::kReplied, .instance = instance});
  }
  void close(PipeInstanceId instance) override {
    std::erase_if(ready_, [&](const PipeEvent& e) { return e.instance == instance; });
    std::erase(waiting_, instance);
    if (const auto found = on_.find(instance); found != on_.end()) {
      found->second->closed = true;
      on_.erase(found);
    }
  }
  std::optional<PipeEvent> wait(Deadline until) override {
    if (ready_.empty()) {
      clock_.now = std::max(clock_.now, until);
      return std::nullopt;
    }
    PipeEvent next = std::move(ready_.front());
    ready_.pop_front();
    return next;
  }
  std::optional<PipeEvent> take_ready() override {
    if (ready_.empty()) return std::nullopt;
    PipeEvent next = std::move(ready_.front());
    ready_.pop_front();
    return next;
  }
  PipeConnection& connection(PipeInstanceId instance) override {
    return on_.at(instance)->connection;
  }

 private:
  FakeClock& clock_;
  PipeInstanceId last_ = 0;
  std::deque<PipeInstanceId> waiting_;
  std::deque<PipeEvent> ready_;
  std::vector<std::unique_ptr<FakePipeClient>> clients_;
  std::map<PipeInstanceId, FakePipeClient*> on_;
};

}  // namespace lumar::test
