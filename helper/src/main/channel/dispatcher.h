// Turns one request line into one reply: parse, edition gate, route.
#pragma once

#include <optional>
#include <string_view>

#include "main/channel/caller_step.h"
#include "main/channel/pipe.h"
#include "main/channel/reply.h"
#include "main/channel/request.h"
#include "main/channel/update_acceptor.h"
#include "main/host_actions/host_actions.h"
#include "main/service/helper_log.h"
#include "main/service/product.h"

namespace lumar {

inline constexpr const char* kLiteRefusal = "Lumar KQ Lite's helper only installs updates";

class Dispatcher {
 public:
  // `host_actions` may be null in a Lite build: the gate stops those
  // requests before they would be used.
  Dispatcher(Edition edition, HostActions* host_actions, CallerStep& caller_step,
             UpdateAcceptor& updates, HelperLog& log)
      : edition_(edition),
        host_actions_(host_actions),
        caller_step_(caller_step),
        updates_(updates),
        log_(log) {}

  // A request whose handling ends in an exception is answered, and logged,
  // with "{op}: internal error: {what}".
  Reply dispatch(std::optional<std::string_view> line, PipeConnection& connection);

 private:
  Reply route(const Request& request, PipeConnection& connection);

  Edition edition_;
  HostActions* host_actions_;
  CallerStep& caller_step_;
  UpdateAcceptor& updates_;
  HelperLog& log_;
};

}  // namespace lumar
