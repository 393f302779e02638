// Where "install_update" goes in tests that never get as far as an update.
#pragma once

#include <memory>
#include <string>

#include "main/update_acceptor.h"

namespace lumar::test {

// Refuses every update.
class RefusingUpdateAcceptor final : public UpdateAcceptor {
 public:
  std::unique_ptr<PackageWatcher> watch_package(const std::string&) override { return nullptr; }
  Reply accept_update(Bytes, const std::string&, OpenedCaller,
                      std::unique_ptr<PackageWatcher>) override {
    return Reply::failure("updates are not available in this build");
  }
};

}  // namespace lumar::test
