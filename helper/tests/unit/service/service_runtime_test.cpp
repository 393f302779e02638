// The service main and control handler with a pretend service manager.
// Wine runs the real dispatcher (service_wine_test.cpp) but never passes a
// handler's result code back to ControlService, so the codes 0, 1061 and 120
// are checked here; so are failures of registration, of the status reports
// and of thread creation, which no real service manager produces on demand.
#include "main/service/service_runtime.h"

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <set>
#include <thread>

#include "fakes/fake_log.h"
#include "fakes/fake_service_status.h"
#include "fakes/fake_threads.h"

namespace lumar {
namespace {

using enum StatusReport;

// The service manager's side: records the handler registration and every
// status report, and can fail either.
class FakeServiceManagerSide final : public ServiceHandlerRegistrar {
 public:
  std::optional<std::string> registration_error;
  std::set<StatusReport> failing_reports;
  std::vector<StatusReport> reports;
  std::string registered_name;
  // Runs when the stopped report has been made, on the reporting thread, as
  // the real dispatcher returns on the main thread at that moment.
  std::function<void()> on_stopped;

  ServiceControlHandler* handler() { return handler_future_.get(); }

  Result<std::unique_ptr<ServiceStatusSink>> register_handler(
      std::string_view service_name, ServiceControlHandler& handler) override {
    registered_name = service_name;
    if (registration_error) return fail(*registration_error);
    handler_promise_.set_value(&handler);
    auto sink = std::make_unique<test::FakeStatusSink>(reports);
    sink->failing = failing_reports;
    sink->after_report = [this](StatusReport report) {
      if (report == kStopped && on_stopped) on_stopped();
    };
    return std::unique_ptr<ServiceStatusSink>(std::move(sink));
  }

 private:
  std::promise<ServiceControlHandler*> handler_promise_;
  std::shared_future<ServiceControlHandler*> handler_future_ =
      handler_promise_.get_future().share();
};

class ServiceRuntimeTest : public ::testing::Test {
 protected:
  ServiceRuntime& runtime() {
    if (!runtime_) {
      runtime_.emplace(
          ServiceRuntimeContext{state, log.log, scm, threads, pipe_server_body, recovery_body});
    }
    return *runtime_;
  }
  // The service main on its own thread, as the dispatcher runs it.
  void start_service_main() {
    service_main_ = std::thread([this] { runtime().service_main(); });
  }
  // The handler, once the service main is waiting for a stop.
  ServiceControlHandler* wait_until_serving() {
    threads.two_started.get_future().wait();
    return scm.handler();
  }
  void join_service_main() { service_main_.join(); }
  // What the started threads would do, in the order they were started.
  void run_started_threads() {
    for (auto& body : threads.started) body();
  }

  ServiceControlState state;
  test::RecordingLog log;
  FakeServiceManagerSide scm;
  test::FakeThreadStarter threads;
  std::vector<std::string> events;
  std::function<void()> pipe_server_body = [this] { events.push_back("pipe server"); };
  std::function<void()> recovery_body = [this] { events.push_back("recovery"); };

 private:
  std::optional<ServiceRuntime> runtime_;
  std::thread service_main_;
};

TEST_F(ServiceRuntimeTest, RunsServesAndStopsOnAStopControl) {
  start_service_main();
  ServiceControlHandler* handler = wait_until_serving();
  EXPECT_EQ(handler->handle(ServiceControl::kStop), ControlAnswer::kDone);
  join_service_main();

  EXPECT_EQ(scm.registered_name, "LumarHelper");
  EXPECT_EQ(scm.reports, (std::vector<StatusReport>{kRunning, kStopped}));
  EXPECT_TRUE(state.stop_requested.load());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"service: running", "service: stopped"}));
  run_started_threads();
  EXPECT_EQ(events, (std::vector<std::string>{"pipe server", "recovery"}));

  // A stop once the service main has gone is accepted and goes nowhere.
  EXPECT_EQ(handler->handle(ServiceControl::kStop), ControlAnswer::kDone);
  EXPECT_EQ(scm.reports.size(), 2u);
}

TEST_F(ServiceRuntimeTest, AStopDuringAnUpdateIsRefusedUntilStopsAreAcceptedAgain) {
  start_service_main();
  ServiceControlHandler* handler = wait_until_serving();
  UpdateLease update = UpdateLease::acquire(state);
  state.set_stop_accepted(false);

  EXPECT_EQ(handler->handle(ServiceControl::kStop), ControlAnswer::kCannotAcceptNow);
  EXPECT_EQ(handler->handle(ServiceControl::kStop), ControlAnswer::kCannotAcceptNow);
  EXPECT_FALSE(state.stop_requested.load());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"service: running"}));

  // The update ends: the handler and the channel are intact.
  update.release();
  EXPECT_EQ(handler->handle(ServiceControl::kStop), ControlAnswer::kDone);
  join_service_main();
  EXPECT_EQ(scm.reports,
            (std::vector<StatusReport>{kRunning, kRunningStopRefused, kRunning, kStopped}));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"service: running", "service: stopped"}));
}

TEST_F(ServiceRuntimeTest, InterrogateAnswersAndOtherControlsAreNotImplemented) {
  start_service_main();
  ServiceControlHandler* handler = wait_until_serving();
  EXPECT_EQ(handler->handle(ServiceControl::kInterrogate), ControlAnswer::kDone);
  EXPECT_EQ(handler->handle(ServiceControl::kOther), ControlAnswer::kNotImplemented);
  EXPECT_FALSE(state.stop_requested.load());
  EXPECT_EQ(scm.reports, (std::vector<StatusReport>{kRunning}));

  EXPECT_EQ(handler->handle(ServiceControl::kStop), ControlAnswer::kDone);
  join_service_main();
}

TEST_F(ServiceRuntimeTest, AFailedRegistrationEndsTheServiceMainAtOnce) {
  scm.registration_error = "IO error in winapi call";
  runtime().service_main();
  EXPECT_TRUE(scm.reports.empty());
  EXPECT_TRUE(threads.started.empty());
  EXPECT_FALSE(state.has_status_handle());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"service run error: IO error in winapi call"}));
}

TEST_F(ServiceRuntimeTest, AFailedRunningReportStartsNoThread) {
  scm.failing_reports = {kRunning};
  runtime().service_main();
  EXPECT_EQ(scm.reports, (std::vector<StatusReport>{kRunning}));
  EXPECT_TRUE(threads.started.empty());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"service run error: IO error in winapi call"}));
}

TEST_F(ServiceRuntimeTest, AFailedStoppedReportIsLoggedInsteadOfStopped) {
  scm.failing_reports = {kStopped};
  start_service_main();
  EXPECT_EQ(wait_until_serving()->handle(ServiceControl::kStop), ControlAnswer::kDone);
  join_service_main();
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"service: running",
                                                   "service run error: IO error in winapi call"}));
}

TEST_F(ServiceRuntimeTest, APipeServerThreadThatCannotBeCreatedStopsTheServiceInOrder) {
  threads.refuse_at = 0;
  runtime().service_main();
  EXPECT_TRUE(threads.started.empty()) << "no recovery without the pipe server";
  EXPECT_TRUE(state.stop_requested.load());
  EXPECT_EQ(scm.reports, (std::vector<StatusReport>{kRunning, kStopped}));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "service: running",
                "service run error: start the pipe server thread: Resource temporarily unavailable",
                "service: stopped"}));
  // A finishing update can no longer report the service running.
  state.set_stop_accepted(true);
  EXPECT_EQ(scm.reports.size(), 2u);
}

TEST_F(ServiceRuntimeTest, ARecoveryThreadThatCannotBeCreatedStopsTheServiceInOrder) {
  threads.refuse_at = 1;
  runtime().service_main();
  EXPECT_EQ(threads.started.size(), 1u);
  EXPECT_EQ(scm.reports, (std::vector<StatusReport>{kRunning, kStopped}));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "service: running",
                "service run error: start the recovery thread: Resource temporarily unavailable",
                "service: stopped"}));
}

TEST_F(ServiceRuntimeTest, TheDispatcherReturnsOnlyAfterTheLastLineIsWritten) {
  // As under Wine: the dispatcher returns the moment the stopped report is
  // made, while the service main has yet to log.
  std::thread dispatcher;
  std::vector<std::string> lines_when_returned;
  scm.on_stopped = [&] {
    dispatcher = std::thread([&] {
      runtime().wait_for_service_main();
      lines_when_returned = log.lines();
    });
  };
  start_service_main();
  EXPECT_EQ(wait_until_serving()->handle(ServiceControl::kStop), ControlAnswer::kDone);
  join_service_main();
  dispatcher.join();
  EXPECT_EQ(lines_when_returned,
            (std::vector<std::string>{"service: running", "service: stopped"}));
}

TEST_F(ServiceRuntimeTest, AnExceptionInTheServiceMainIsLoggedAndTheServiceStopsInOrder) {
  threads.throws = true;
  runtime().service_main();
  runtime().wait_for_service_main();  // returns: the dispatcher is let go
  EXPECT_TRUE(state.stop_requested.load());
  EXPECT_EQ(scm.reports, (std::vector<StatusReport>{kRunning, kStopped}));
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"service: running",
                                                   "service: internal error: no thread for you",
                                                   "service: stopped"}));
}

TEST_F(ServiceRuntimeTest, AnExceptionInThePipeOrRecoveryThreadIsLoggedAndGoesNoFurther) {
  pipe_server_body = [] { throw std::runtime_error("pipe broke"); };
  recovery_body = [] { throw std::bad_alloc(); };
  start_service_main();
  ServiceControlHandler* handler = wait_until_serving();
  run_started_threads();
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"service: running", "pipe: internal error: pipe broke",
                                      "recovery: internal error: std::bad_alloc"}));
  EXPECT_EQ(handler->handle(ServiceControl::kStop), ControlAnswer::kDone)
      << "the service still answers";
  join_service_main();
}

// The stop handler and update acceptance each write their own flag before
// reading the other's. Acceptance's two steps (set update_in_progress, then
// read stop_requested; a refusal clears the flag again) are placed before,
// inside or after the handler's window between its write and its read, in
// every order. A stop and an update never both go ahead.
TEST(StopHandlerRace, AStopAndAnUpdateNeverBothGoAhead) {
  enum Where { kBefore, kInside, kAfter };
  struct Case {
    Where set, read;
    bool stop_goes, update_goes;
  };
  for (const Case c : {Case{kBefore, kBefore, false, true}, Case{kBefore, kInside, true, false},
                       Case{kBefore, kAfter, false, true}, Case{kInside, kInside, true, false},
                       Case{kInside, kAfter, false, true}, Case{kAfter, kAfter, true, false}}) {
    ServiceControlState state;
    std::optional<bool> update_goes;
    UpdateLease lease;
    auto acceptance = [&](Where now) {
      if (c.set == now) lease = UpdateLease::acquire(state);
      if (c.read == now) {
        update_goes = !state.stop_requested.load();
        if (!*update_goes) lease.release();
      }
    };
    auto [sender, receiver] = StopChannel::create();
    ServiceControlHandler handler(state, std::move(sender), [&](StopStep step) {
      if (step == StopStep::kMarked) acceptance(kInside);
    });
    acceptance(kBefore);
    const bool stop_goes = handler.handle(ServiceControl::kStop) == ControlAnswer::kDone;
    acceptance(kAfter);
    const std::string name = std::to_string(c.set) + "," + std::to_string(c.read);
    EXPECT_EQ(stop_goes, c.stop_goes) << name;
    EXPECT_EQ(update_goes, c.update_goes) << name;
    EXPECT_EQ(state.stop_requested.load(), stop_goes) << name << ": a refused stop is taken back";
  }
}

TEST(StopHandlerRace, AnUpdateThatEndsWhileAStopIsRefusedStillReportsStopsAccepted) {
  ServiceControlState state;
  FakeServiceManagerSide scm;
  UpdateLease update = UpdateLease::acquire(state);
  auto [sender, receiver] = StopChannel::create();
  // The worker ends after the handler has seen its update: the worker's own
  // report finds the stop still requested and makes none.
  ServiceControlHandler handler(state, std::move(sender), [&](StopStep step) {
    if (step == StopStep::kRefusing) update.release();
  });
  state.set_status_handle(std::move(*scm.register_handler("LumarHelper", handler)));
  state.set_stop_accepted(false);
  EXPECT_EQ(handler.handle(ServiceControl::kStop), ControlAnswer::kCannotAcceptNow);
  EXPECT_FALSE(state.stop_requested.load());
  EXPECT_EQ(scm.reports, (std::vector<StatusReport>{kRunningStopRefused, kRunning}));
}

TEST(StopChannel, QueuesEventsAndClosesWhenAnEndIsGone) {
  auto [sender, receiver] = StopChannel::create();
  EXPECT_TRUE(sender.send());
  EXPECT_TRUE(sender.send());
  EXPECT_TRUE(receiver.receive());
  EXPECT_TRUE(receiver.receive());
  { StopChannel::Sender last = std::move(sender); }
  EXPECT_FALSE(receiver.receive()) << "closed once every sender is gone";

  auto [sender2, receiver2] = StopChannel::create();
  { StopChannel::Receiver gone = std::move(receiver2); }
  EXPECT_FALSE(sender2.send());
}

}  // namespace
}  // namespace lumar
