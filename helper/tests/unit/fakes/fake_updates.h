// Where "install_update" goes in tests: an acceptor that refuses every
// update, and a worker that keeps the jobs it is given.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "main/channel/update_acceptor.h"
#include "main/service/service_control_state.h"
#include "update/install/install_job.h"

namespace lumar::test {

// Refuses every update.
class RefusingUpdateAcceptor final : public UpdateAcceptor {
 public:
  std::unique_ptr<IncrementalHash> start_package_hash(const std::string&) override { return nullptr; }
  Reply accept_update(Bytes, const std::string&, OpenedCaller,
                      std::unique_ptr<IncrementalHash>) override {
    return Reply::failure("updates are not available in this build");
  }
};

// Keeps each job it is asked to start instead of running it, or refuses.
class KeepingWorker final : public InstallWorker {
 public:
  std::optional<std::string> failure;
  std::vector<InstallJob> jobs;
  // What the world looked like when the worker was asked to start.
  std::vector<std::string> log_at_start;
  std::vector<StatusReport> reports_at_start;
  std::vector<OsString> staged_at_start;
  std::function<void()> on_start;

  Status start(std::unique_ptr<InstallJob>& job) override {
    if (on_start) on_start();
    if (failure) return fail(*failure);
    jobs.push_back(std::move(*job));
    job.reset();
    return {};
  }
};

}  // namespace lumar::test
