// Running as the LumarHelper service: the service main, the control handler
// and the stop channel between them.
//
// The service main reports the service running, starts the pipe server and
// the interrupted-update recovery on detached threads, and waits for a stop.
// A stop ends the process: nothing tells the other threads to finish. While
// an update is in progress the handler refuses to stop.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "main/base/expected.h"
#include "main/platform/thread_starter.h"
#include "main/service/helper_log.h"
#include "main/service/service_control_state.h"

namespace lumar {

// The controls the service manager sends, as far as the handler tells them
// apart, and the handler's answers.
enum class ServiceControl { kStop, kInterrogate, kOther };
enum class ControlAnswer {
  kDone,
  kCannotAcceptNow,  // a stop while an update is being installed
  kNotImplemented,
};

// An unbounded queue of stop events that carry no data. It is closed for the
// receiver once every sender is gone, and for the senders once the receiver
// is gone; sending into a closed channel does nothing. The queue is guarded
// by its own mutex: a channel is a synchronisation primitive in itself, not
// shared state of the helper.
class StopChannel {
 public:
  class Sender;
  class Receiver;
  static std::pair<Sender, Receiver> create();

 private:
  struct Shared;
};

struct StopChannel::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t pending = 0;
  int senders = 0;
  bool receiver_alive = true;
};

class StopChannel::Sender {
 public:
  explicit Sender(std::shared_ptr<Shared> shared);
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&&) = delete;
  ~Sender();
  // False when the receiving end is gone.
  bool send();

 private:
  std::shared_ptr<Shared> shared_;
};

class StopChannel::Receiver {
 public:
  explicit Receiver(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) = delete;
  ~Receiver();
  // Blocks until an event arrives (true) or every sender is gone (false).
  bool receive();

 private:
  std::shared_ptr<Shared> shared_;
};

// The points inside the stop handler where another thread's update may
// interleave: right after the stop is marked requested, and, when an update
// was found in flight, right before the request is taken back.
enum class StopStep { kMarked, kRefusing };

// The control handler and its context: it owns the sending end.
class ServiceControlHandler {
 public:
  // `at_step`, when given, runs at each StopStep (a seam for tests).
  ServiceControlHandler(ServiceControlState& state, StopChannel::Sender sender,
                        std::function<void(StopStep)> at_step = {})
      : state_(state), sender_(std::move(sender)), at_step_(std::move(at_step)) {}
  ControlAnswer handle(ServiceControl control);

 private:
  ServiceControlState& state_;
  StopChannel::Sender sender_;
  std::function<void(StopStep)> at_step_;
};

// Registers the handler with the service manager under the service's name and
// returns the status handle; the handler must outlive the registration.
class ServiceHandlerRegistrar {
 public:
  virtual ~ServiceHandlerRegistrar() = default;
  virtual Result<std::unique_ptr<ServiceStatusSink>> register_handler(
      std::string_view service_name, ServiceControlHandler& handler) = 0;
};

struct ServiceRuntimeContext {
  ServiceControlState& state;
  HelperLog& log;
  ServiceHandlerRegistrar& registrar;
  ThreadStarter& threads;
  std::function<void()> pipe_server;  // the accept loop; never returns
  std::function<void()> recovery;     // the interrupted-update recovery
};

class ServiceRuntime {
 public:
  explicit ServiceRuntime(ServiceRuntimeContext context) : context_(std::move(context)) {}

  // The service main, called by the dispatcher on a thread of its own; the
  // service manager's start arguments are ignored.
  //
  // When a worker thread cannot be created the service stops in order: the
  // log gets "service run error: {error}", a stop is marked as accepted (so a
  // finishing update reports nothing more) and the service reports stopped,
  // as after a stop control. The service manager then sees a service that
  // ended; its auto-start brings it back at the next boot. An exception
  // thrown inside the service main is logged as "service: internal error:
  // {what}" and ends the service the same way. The pipe server and the
  // recovery run behind boundaries of their own ("pipe", "recovery").
  void service_main();

  // Called once the dispatcher has returned: waits until a service main that
  // has begun has also written its last log line. The dispatcher returns as
  // soon as the stopped report is made, and the process must not end before
  // "service: stopped" is in the log.
  void wait_for_service_main();

 private:
  void run_service_main();
  void begin_service_main();
  void end_service_main();
  void stop_after_thread_failure(std::string_view which, const std::string& error);
  void stop_in_order();
  void report_stopped();

  ServiceRuntimeContext context_;
  // Outlives the service main: the dispatcher may still call the handler
  // after the service main has returned.
  std::unique_ptr<ServiceControlHandler> handler_;
  std::mutex progress_mutex_;
  std::condition_variable progress_changed_;
  bool begun_ = false;
  bool ended_ = false;
  bool stopped_reported_ = false;  // touched by the service-main thread only
};

// The Windows implementation, built only for Windows.
std::unique_ptr<ServiceHandlerRegistrar> make_win32_handler_registrar();
// Connects the process to the service manager and runs the service until it
// has stopped.
Status run_win32_service_dispatcher(ServiceRuntime& runtime);

}  // namespace lumar
