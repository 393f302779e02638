// Thread starters for tests: one that starts no thread, and one whose real
// threads end before it does.
#pragma once

#include <cstddef>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "main/platform/thread_starter.h"

namespace lumar::test {

// Keeps each body for the test to run when it chooses, or runs it at once
// (`run_at_once`); refuses the n-th start (counting from 0) with the
// system's reason, or throws.
class FakeThreadStarter final : public ThreadStarter {
 public:
  std::vector<std::function<void()>> started;
  bool run_at_once = false;
  std::optional<std::size_t> refuse_at;
  bool throws = false;
  // Kept once two threads are started, as a service main starts them.
  std::promise<void> two_started;

  Status start_detached(std::function<void()> body) override {
    if (refuse_at && *refuse_at == started.size()) return fail("Resource temporarily unavailable");
    if (throws) throw std::runtime_error("no thread for you");
    if (run_at_once) {
      body();
      return {};
    }
    started.push_back(std::move(body));
    if (started.size() == 2) two_started.set_value();
    return {};
  }
};

// Starts each body on a real thread, as the service does, but keeps the
// threads and joins them, so that a test can wait for a body's end and
// nothing a body uses is destroyed under it.
class JoiningThreadStarter final : public ThreadStarter {
 public:
  JoiningThreadStarter() = default;
  JoiningThreadStarter(const JoiningThreadStarter&) = delete;
  JoiningThreadStarter& operator=(const JoiningThreadStarter&) = delete;
  ~JoiningThreadStarter() override { join(); }

  Status start_detached(std::function<void()> body) override {
    threads_.emplace_back(std::move(body));
    return {};
  }
  void join() {
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

 private:
  std::vector<std::thread> threads_;
};

}  // namespace lumar::test
