// Every thread that nobody joins (pipe server, recovery, each installation)
// starts through a ThreadStarter, so that tests can run its body when they
// choose or refuse to start it.
#pragma once

#include <functional>

#include "main/base/expected.h"

namespace lumar {

// Starts a thread that nobody joins. When the system refuses to create it,
// `body` has not run and the error is the system's reason.
class ThreadStarter {
 public:
  virtual ~ThreadStarter() = default;
  virtual Status start_detached(std::function<void()> body) = 0;
};

// A detached std::thread.
class StdThreadStarter final : public ThreadStarter {
 public:
  Status start_detached(std::function<void()> body) override;
};

}  // namespace lumar
