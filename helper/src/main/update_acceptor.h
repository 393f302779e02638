// Where an "install_update" goes once the caller step has opened the
// client's process and read its package.
#pragma once

#include <cstdint>
#include <string>

#include "main/bytes.h"
#include "main/reply.h"
#include "update/request_caller.h"

namespace lumar {

class UpdateAcceptor {
 public:
  virtual ~UpdateAcceptor() = default;
  // `caller` is the requesting process, opened when its request arrived.
  virtual Reply accept_update(Bytes package, const std::string& signature, OpenedCaller caller) = 0;
};

// Stands in until the update path is built in: refuses every update.
class UnavailableUpdates final : public UpdateAcceptor {
 public:
  Reply accept_update(Bytes, const std::string&, OpenedCaller) override {
    return Reply::failure("updates are not available in this build");
  }
};

}  // namespace lumar
