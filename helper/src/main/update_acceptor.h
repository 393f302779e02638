// Where an "install_update" goes once the caller step has identified the
// client and read its package.
#pragma once

#include <cstdint>
#include <string>

#include "main/bytes.h"
#include "main/reply.h"

namespace lumar {

class UpdateAcceptor {
 public:
  virtual ~UpdateAcceptor() = default;
  virtual Reply accept_update(Bytes package, const std::string& signature,
                              std::uint32_t caller_pid) = 0;
};

// Stands in until the update path is built in: refuses every update.
class UnavailableUpdates final : public UpdateAcceptor {
 public:
  Reply accept_update(Bytes, const std::string&, std::uint32_t) override {
    return Reply::failure("updates are not available in this build");
  }
};

}  // namespace lumar
