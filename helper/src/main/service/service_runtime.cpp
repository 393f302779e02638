#include "main/service/service_runtime.h"

#include "main/platform/thread_guard.h"
#include "main/service/product.h"

namespace lumar {

std::pair<StopChannel::Sender, StopChannel::Receiver> StopChannel::create() {
  auto shared = std::make_shared<Shared>();
  return {Sender(shared), Receiver(shared)};
}

StopChannel::Sender::Sender(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {
  const std::lock_guard lock(shared_->mutex);
  ++shared_->senders;
}

StopChannel::Sender::~Sender() {
  if (!shared_) return;  // moved from
  const std::lock_guard lock(shared_->mutex);
  if (--shared_->senders == 0) shared_->changed.notify_all();
}

bool StopChannel::Sender::send() {
  const std::lock_guard lock(shared_->mutex);
  if (!shared_->receiver_alive) return false;
  ++shared_->pending;
  shared_->changed.notify_all();
  return true;
}

StopChannel::Receiver::~Receiver() {
  if (!shared_) return;  // moved from
  const std::lock_guard lock(shared_->mutex);
  shared_->receiver_alive = false;
}

bool StopChannel::Receiver::receive() {
  std::unique_lock lock(shared_->mutex);
  shared_->changed.wait(lock, [&] { return shared_->pending > 0 || shared_->senders == 0; });
  if (shared_->pending == 0) return false;
  --shared_->pending;
  return true;
}

ControlAnswer ServiceControlHandler::handle(ServiceControl control) {
  switch (control) {
    case ServiceControl::kStop: {
      // Update acceptance sets update_in_progress and then reads
      // stop_requested; the handler writes stop_requested and then reads
      // update_in_progress. Whatever the interleaving, at least one of the
      // two sees the other, so a stop and an update never both go ahead.
      const bool already_requested = state_.stop_requested.exchange(true);
      if (at_step_) at_step_(StopStep::kMarked);
      if (state_.update_in_progress.load()) {
        if (at_step_) at_step_(StopStep::kRefusing);
        // Refused: the request is taken back, unless an earlier, accepted
        // stop had made it.
        if (!already_requested) state_.stop_requested.exchange(false);
        // An update that ended while the request stood skipped its "stop
        // accepted" report; make it now if no update runs any more. (A stale
        // "accepted" is harmless: a stop that arrives during an update is
        // refused right here.)
        if (!state_.update_in_progress.load()) state_.set_stop_accepted(true);
        return ControlAnswer::kCannotAcceptNow;
      }
      (void)sender_.send();  // the service main may be gone already
      return ControlAnswer::kDone;
    }
    case ServiceControl::kInterrogate:
      return ControlAnswer::kDone;
    case ServiceControl::kOther:
      break;
  }
  return ControlAnswer::kNotImplemented;
}

void ServiceRuntime::service_main() {
  // The service main's one boundary. Nothing thrown below it ends the
  // process; the service then ends in order, as when a thread cannot be
  // created, and the dispatcher is let go.
  if (!guard_thread_body(context_.log, "service", [&] { run_service_main(); })) {
    (void)guard_thread_body(context_.log, "service", [&] { stop_in_order(); });
  }
  (void)guard_thread_body(context_.log, "service", [&] { end_service_main(); });
}

void ServiceRuntime::run_service_main() {
  begin_service_main();
  auto [sender, receiver] = StopChannel::create();
  handler_ = std::make_unique<ServiceControlHandler>(context_.state, std::move(sender));

  Result<std::unique_ptr<ServiceStatusSink>> sink =
      context_.registrar.register_handler(kServiceName, *handler_);
  if (!sink.has_value()) {
    context_.log.write("service run error: " + sink.error());
    return;
  }
  context_.state.set_status_handle(std::move(*sink));
  if (Status running = context_.state.report(StatusReport::kRunning); !running.has_value()) {
    context_.log.write("service run error: " + running.error());
    return;
  }
  context_.log.write("service: running");

  // Each thread gets its own boundary: an exception in one is logged and
  // leaves the others, and the service, running.
  HelperLog& log = context_.log;
  if (Status started = context_.threads.start_detached(
          [&log, body = context_.pipe_server] { (void)guard_thread_body(log, "pipe", body); });
      !started.has_value()) {
    stop_after_thread_failure("pipe server", started.error());
    return;
  }
  if (Status started = context_.threads.start_detached(
          [&log, body = context_.recovery] { (void)guard_thread_body(log, "recovery", body); });
      !started.has_value()) {
    stop_after_thread_failure("recovery", started.error());
    return;
  }

  (void)receiver.receive();  // a stop event, or a closed channel: either way, stop
  report_stopped();
}

void ServiceRuntime::stop_after_thread_failure(std::string_view which, const std::string& error) {
  context_.log.write("service run error: start the " + std::string(which) + " thread: " + error);
  stop_in_order();
}

void ServiceRuntime::stop_in_order() {
  // A finishing update can then no longer report the service running.
  context_.state.stop_requested.exchange(true);
  if (context_.state.has_status_handle() && !stopped_reported_) report_stopped();
}

void ServiceRuntime::report_stopped() {
  stopped_reported_ = true;
  if (Status stopped = context_.state.report(StatusReport::kStopped); stopped.has_value()) {
    context_.log.write("service: stopped");
  } else {
    context_.log.write("service run error: " + stopped.error());
  }
}

void ServiceRuntime::begin_service_main() {
  const std::lock_guard lock(progress_mutex_);
  begun_ = true;
}

void ServiceRuntime::end_service_main() {
  const std::lock_guard lock(progress_mutex_);
  ended_ = true;
  progress_changed_.notify_all();
}

void ServiceRuntime::wait_for_service_main() {
  std::unique_lock lock(progress_mutex_);
  progress_changed_.wait(lock, [&] { return !begun_ || ended_; });
}

}  // namespace lumar
