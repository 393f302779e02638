// The process-wide state that keeps the service from stopping during an
// update: two atomic flags and the set-once status handle. No lock anywhere:
// writes are atomic exchanges, reads atomic loads.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "main/base/expected.h"

namespace lumar {

enum class StatusReport { kRunning, kRunningStopRefused, kStopped };

// The service manager's side of a status report (SetServiceStatus on the
// status handle).
class ServiceStatusSink {
 public:
  virtual ~ServiceStatusSink() = default;
  virtual Status report(StatusReport report) = 0;
};

class ServiceControlState {
 public:
  // Set by update acceptance before it reads stop_requested; cleared when
  // the update is refused or has ended.
  std::atomic<bool> update_in_progress{false};
  // Set by the stop handler before it reads update_in_progress, and taken
  // back only by that handler when it then refuses the stop. Both flags are
  // sequentially consistent: of a stop and an update that race, at least
  // one sees the other.
  std::atomic<bool> stop_requested{false};

  // Set once by the service main right after the handler is registered,
  // before any worker thread exists; never set in a foreground helper.
  void set_status_handle(std::unique_ptr<ServiceStatusSink> sink) {
    if (!status_handle_) status_handle_ = std::move(sink);
  }
  bool has_status_handle() const { return status_handle_ != nullptr; }

  // A report through the status handle; fails when there is none.
  Status report(StatusReport report) {
    if (!status_handle_) return fail("no service status handle");
    return status_handle_->report(report);
  }

  // Reports running with or without stop accepted, unless a stop has been
  // accepted already or the helper is not a service. Failures are ignored.
  void set_stop_accepted(bool accepted) {
    if (stop_requested.load() || !status_handle_) return;
    (void)status_handle_->report(accepted ? StatusReport::kRunning
                                          : StatusReport::kRunningStopRefused);
  }

 private:
  std::unique_ptr<ServiceStatusSink> status_handle_;
};

// The right of one update to run: holds update_in_progress from acceptance
// to the end of the installation. Releasing it (explicitly or by
// destruction, whichever comes first) clears the flag and then reports the
// stop accepted again. Movable, so that it travels with the job.
class UpdateLease {
 public:
  UpdateLease() = default;  // holds nothing
  UpdateLease(const UpdateLease&) = delete;
  UpdateLease& operator=(const UpdateLease&) = delete;
  UpdateLease(UpdateLease&& other) noexcept : control_(std::exchange(other.control_, nullptr)) {}
  UpdateLease& operator=(UpdateLease&& other) noexcept {
    if (this != &other) {
      release();
      control_ = std::exchange(other.control_, nullptr);
    }
    return *this;
  }
  ~UpdateLease() { release(); }

  // Sets update_in_progress. When another update holds it already, the
  // lease holds nothing and the flag, and the service's status, are left
  // alone.
  static UpdateLease acquire(ServiceControlState& control) {
    UpdateLease lease;
    if (!control.update_in_progress.exchange(true)) lease.control_ = &control;
    return lease;
  }

  explicit operator bool() const { return control_ != nullptr; }

  void release() {
    ServiceControlState* const control = std::exchange(control_, nullptr);
    if (!control) return;
    control->update_in_progress.store(false);
    control->set_stop_accepted(true);
  }

 private:
  ServiceControlState* control_ = nullptr;
};

}  // namespace lumar
