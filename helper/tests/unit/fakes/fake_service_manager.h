// A pretend service manager.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "main/service/service_registration.h"

namespace lumar::test {

// The service states the service manager reports.
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceStopped = 1;

inline std::string name(ManagerAccess access) {
  return access == ManagerAccess::kInstall ? "install" : "uninstall";
}
inline std::string name(ServiceAccess access) {
  switch (access) {
    case ServiceAccess::kCreate:
      return "create";
    case ServiceAccess::kInstall:
      return "install";
    case ServiceAccess::kUninstall:
      return "uninstall";
  }
  return "?";
}
inline const std::string kServiceCallFailed = "IO error in winapi call";

// One service database with at most the LumarHelper service in it. Every
// call is recorded; any call can be made to fail; every handle handed out is
// counted until it is closed.
class FakeServiceManager final : public ServiceManager {
 public:
  struct Service {
    ServiceDefinition definition;
    std::optional<std::string> description;
    std::optional<FailureActions> failure_actions;
    std::uint32_t state = kServiceStopped;
    int pending_polls = 0;  // "stop pending" answers left after a stop
  };

  std::optional<Service> service;
  std::set<std::string> failing;  // names of calls that fail
  int polls_until_stopped = 2;
  bool never_stops = false;
  std::optional<ServiceConfig> stored_config;  // overrides what the service reports
  std::vector<std::string> calls;
  int open_handles = 0;

  void register_at(const OsString& path, std::uint32_t state = kServiceRunning) {
    service = Service{helper_service_definition(path), {}, {}, state};
  }
  int count(const std::string& call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }

  Status call(const std::string& name) {
    calls.push_back(name);
    if (failing.contains(name)) return fail(kServiceCallFailed);
    return {};
  }

  class Handle {
   public:
    explicit Handle(int& open) : open_(open) { ++open_; }
    ~Handle() { --open_; }

   private:
    int& open_;
  };

  class FakeService final : public ServiceObject {
   public:
    explicit FakeService(FakeServiceManager& scm) : scm_(scm), handle_(scm.open_handles) {}

    Result<ServiceConfig> query_config() override {
      if (Status ok = scm_.call("query_config"); !ok.has_value()) return fail(ok.error());
      if (scm_.stored_config) return *scm_.stored_config;
      const ServiceDefinition& d = scm_.service->definition;
      return ServiceConfig{d.command_line, d.start_type, d.error_control};
    }
    Status change_config(const ServiceDefinition& definition) override {
      if (Status ok = scm_.call("change_config"); !ok.has_value()) return ok;
      scm_.service->definition = definition;
      return {};
    }
    Status set_description(std::string_view description) override {
      if (Status ok = scm_.call("set_description"); !ok.has_value()) return ok;
      scm_.service->description = std::string(description);
      return {};
    }
    Status set_failure_actions(const FailureActions& actions) override {
      if (Status ok = scm_.call("set_failure_actions"); !ok.has_value()) return ok;
      scm_.service->failure_actions = actions;
      return {};
    }
    Result<ServiceState> query_state() override {
      if (Status ok = scm_.call("query_state"); !ok.has_value()) return fail(ok.error());
      Service& s = *scm_.service;
      if (s.state == kServiceStopPending && !scm_.never_stops && s.pending_polls-- <= 0) {
        s.state = kServiceStopped;
      }
      return s.state == kServiceStopped ? ServiceState::kStopped : ServiceState::kNotStopped;
    }
    Status stop() override {
      if (Status ok = scm_.call("stop"); !ok.has_value()) return ok;
      Service& s = *scm_.service;
      if (s.state != kServiceRunning) return fail(kServiceCallFailed);  // 1062: not running
      s.state = kServiceStopPending;
      s.pending_polls = scm_.polls_until_stopped;
      return {};
    }
    Status start() override {
      if (Status ok = scm_.call("start"); !ok.has_value()) return ok;
      Service& s = *scm_.service;
      if (s.state != kServiceStopped) return fail(kServiceCallFailed);  // 1056: already running
      s.state = kServiceRunning;
      return {};
    }
    Status remove() override { return scm_.call("delete"); }

   private:
    FakeServiceManager& scm_;
    Handle handle_;
  };

  class FakeDatabase final : public ServiceDatabase {
   public:
    explicit FakeDatabase(FakeServiceManager& scm) : scm_(scm), handle_(scm.open_handles) {}

    Result<std::unique_ptr<ServiceObject>> open_service(std::string_view name,
                                                        ServiceAccess access) override {
      if (Status ok = scm_.call("open " + std::string(name) + " " + test::name(access));
          !ok.has_value()) {
        return fail(ok.error());
      }
      if (!scm_.service) return fail(kServiceCallFailed);  // 1060: does not exist
      return std::unique_ptr<ServiceObject>(std::make_unique<FakeService>(scm_));
    }
    Result<std::unique_ptr<ServiceObject>> create_service(const ServiceDefinition& definition,
                                                          ServiceAccess access) override {
      if (Status ok = scm_.call("create " + test::name(access)); !ok.has_value()) {
        return fail(ok.error());
      }
      scm_.service = Service{definition, {}, {}, kServiceStopped};
      return std::unique_ptr<ServiceObject>(std::make_unique<FakeService>(scm_));
    }

   private:
    FakeServiceManager& scm_;
    Handle handle_;
  };

  Result<std::unique_ptr<ServiceDatabase>> connect(ManagerAccess access) override {
    if (Status ok = call("connect " + name(access)); !ok.has_value()) return fail(ok.error());
    return std::unique_ptr<ServiceDatabase>(std::make_unique<FakeDatabase>(*this));
  }
};

}  // namespace lumar::test
