// Where the service's status goes: the service manager, in production.
#pragma once

#include <vector>

#include "fakes/fake_log.h"
#include "main/service_control_state.h"

namespace lumar::test {

// Records every report, either as it is or in an event list as "report stop
// accepted" (running, stop accepted) or "report other".
class FakeStatusSink final : public ServiceStatusSink {
 public:
  explicit FakeStatusSink(std::vector<StatusReport>& reports) : reports_(&reports) {}
  explicit FakeStatusSink(Events& events) : events_(&events) {}

  Status report(StatusReport report) override {
    if (reports_ != nullptr) reports_->push_back(report);
    if (events_ != nullptr) {
      events_->push_back(report == StatusReport::kRunning ? "report stop accepted"
                                                          : "report other");
    }
    return {};
  }

 private:
  std::vector<StatusReport>* reports_ = nullptr;
  Events* events_ = nullptr;
};

}  // namespace lumar::test
