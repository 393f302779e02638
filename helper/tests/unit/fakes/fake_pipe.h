// A client's end of the pipe, scripted by the test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "main/pipe.h"

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

// A client connection that delivers scripted chunks; an empty chunk stands
// for a read that ends (client closed, failure or deadline).
class FakePipeConnection : public PipeConnection {
 public:
  std::deque<std::string> chunks;
  std::vector<Deadline> read_deadlines;
  std::string sent;
  Deadline send_deadline{};
  SystemResult<std::uint32_t> pid = 4242u;
  bool can_impersonate = true;
  bool revert_ok = true;
  bool impersonating = false;
  bool reverted = false;
  int reads = 0;
  bool closed = false;            // set when a LentPipeConnection over it is destroyed
  std::function<void()> on_read;  // runs at the start of every read

  std::size_t read(std::span<std::uint8_t> buffer, Deadline deadline) override {
    ++reads;
    read_deadlines.push_back(deadline);
    if (on_read) on_read();
    if (chunks.empty()) return 0;
    std::string& next = chunks.front();
    const std::size_t n = std::min(next.size(), buffer.size());
    std::copy_n(next.begin(), n, buffer.begin());
    next.erase(0, n);
    if (next.empty()) chunks.pop_front();
    return n;
  }
  void send(std::string_view bytes, Deadline deadline) override {
    sent += bytes;
    send_deadline = deadline;
  }
  SystemResult<std::uint32_t> client_process_id() override { return pid; }
  std::unique_ptr<Impersonation> impersonate() override {
    if (!can_impersonate) return nullptr;
    impersonating = true;
    return std::make_unique<FakeImpersonation>(&reverted, revert_ok);
  }
};

// Hands a FakePipeConnection to code that owns and destroys its connection,
// such as the pipe server: the fake outlives it, so that a test can read
// what the connection saw and that it was closed.
class LentPipeConnection final : public PipeConnection {
 public:
  explicit LentPipeConnection(FakePipeConnection& fake) : fake_(fake) {}
  LentPipeConnection(const LentPipeConnection&) = delete;
  LentPipeConnection& operator=(const LentPipeConnection&) = delete;
  ~LentPipeConnection() override { fake_.closed = true; }

  std::size_t read(std::span<std::uint8_t> buffer, Deadline deadline) override {
    return fake_.read(buffer, deadline);
  }
  void send(std::string_view bytes, Deadline deadline) override { fake_.send(bytes, deadline); }
  SystemResult<std::uint32_t> client_process_id() override { return fake_.client_process_id(); }
  std::unique_ptr<Impersonation> impersonate() override { return fake_.impersonate(); }

 private:
  FakePipeConnection& fake_;
};

}  // namespace lumar::test
