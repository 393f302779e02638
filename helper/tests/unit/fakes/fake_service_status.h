// Where the service's status goes: the service manager, in production.
#pragma once

#include <functional>
#include <set>
#include <vector>

#include "fakes/fake_log.h"
#include "main/service/service_control_state.h"

namespace lumar::test {

// Records every report, either as it is or in an event list as "report stop
// accepted" (running, stop accepted) or "report other". A report can be made
// to fail after it is recorded; `after_report` runs after each one that
// succeeds, on the reporting thread.
class FakeStatusSink final : public ServiceStatusSink {
 public:
  explicit FakeStatusSink(std::vector<StatusReport>& reports) : reports_(&reports) {}
  explicit FakeStatusSink(Events& events) : events_(&events) {}

  std::set<StatusReport> failing;
  std::function<void(StatusReport)> after_report;

  Status report(StatusReport report) override {
    if (reports_ != nullptr) reports_->push_back(report);
    if (events_ != nullptr) {
      events_->push_back(report == StatusReport::kRunning ? "report stop accepted"
                                                          : "report other");
    }
    if (failing.contains(report)) return fail("IO error in winapi call");
    if (after_report) after_report(report);
    return {};
  }

 private:
  std::vector<StatusReport>* reports_ = nullptr;
  Events* events_ = nullptr;
};

}  // namespace lumar::test
