// A thread starter that starts no thread.
#pragma once

#include <cstddef>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <vector>

#include "main/thread_boundary.h"

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

}  // namespace lumar::test
