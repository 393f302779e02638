// Where an "install_update" goes once the caller step has opened the
// client's process and read its package.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "main/base/bytes.h"
#include "main/base/expected.h"
#include "main/channel/caller_identity.h"
#include "main/channel/incremental_hash.h"
#include "main/channel/reply.h"
#include "main/platform/processes.h"

namespace lumar {

class UpdateAcceptor {
 public:
  virtual ~UpdateAcceptor() = default;
  // Asked before the package is opened: a refusal that needs no byte of it
  // (a signature made with another key, say), or success. The refusal is
  // the reply's text; the file is then never touched.
  virtual Status check_before_read(const std::string& signature) {
    (void)signature;
    return {};
  }
  // Asked before the package is read: something to show its bytes to while
  // they arrive, or nothing.
  virtual std::unique_ptr<IncrementalHash> start_package_hash(const std::string& signature) = 0;
  // `caller` is the requesting process, opened when its request arrived;
  // `hash` is what start_package_hash gave for this request, having seen all
  // of `package`.
  virtual Reply accept_update(Bytes package, const std::string& signature, OpenedCaller caller,
                              std::unique_ptr<IncrementalHash> hash) = 0;
};

}  // namespace lumar
