#include "main/service_runtime.h"

#include <system_error>
#include <thread>

#include "main/product.h"

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

std::uint32_t ServiceControlHandler::handle(std::uint32_t control) {
  switch (control) {
    case kControlStop:
      // The service manager no longer sends stops while the status report
      // accepts none; this catches one that was already on its way.
      if (state_.update_in_progress.load()) return kErrorServiceCannotAcceptCtrl;
      state_.stop_requested.exchange(true);
      (void)sender_.send();  // the service main may be gone already
      return kNoError;
    case kControlInterrogate:
      return kNoError;
    default:
      return kErrorCallNotImplemented;
  }
}

Status StdThreadStarter::start_detached(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return {};
  } catch (const std::system_error& error) {
    return fail(error.what());
  }
}

void ServiceRuntime::service_main() {
  begin_service_main();
  auto [sender, receiver] = StopChannel::create();
  handler_ = std::make_unique<ServiceControlHandler>(parts_.state, std::move(sender));

  Result<std::unique_ptr<ServiceStatusSink>> sink =
      parts_.registrar.register_handler(kServiceName, *handler_);
  if (!sink) {
    parts_.log.write("service run error: " + sink.error());
    end_service_main();
    return;
  }
  parts_.state.set_status_handle(std::move(*sink));
  if (Status running = parts_.state.report(StatusReport::kRunning); !running) {
    parts_.log.write("service run error: " + running.error());
    end_service_main();
    return;
  }
  parts_.log.write("service: running");

  if (Status started = parts_.threads.start_detached(parts_.pipe_server); !started) {
    stop_after_thread_failure("pipe server", started.error());
    return;
  }
  if (Status started = parts_.threads.start_detached(parts_.recovery); !started) {
    stop_after_thread_failure("recovery", started.error());
    return;
  }

  (void)receiver.receive();  // a stop event, or a closed channel: either way, stop

  if (Status stopped = parts_.state.report(StatusReport::kStopped); stopped) {
    parts_.log.write("service: stopped");
  } else {
    parts_.log.write("service run error: " + stopped.error());
  }
  end_service_main();
}

void ServiceRuntime::stop_after_thread_failure(std::string_view which, const std::string& error) {
  parts_.log.write("service run error: start the " + std::string(which) + " thread: " + error);
  parts_.state.stop_requested.exchange(true);
  if (Status stopped = parts_.state.report(StatusReport::kStopped); stopped) {
    parts_.log.write("service: stopped");
  } else {
    parts_.log.write("service run error: " + stopped.error());
  }
  end_service_main();
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
