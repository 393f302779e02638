// Where an "install_update" goes once the caller step has opened the
// client's process and read its package.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "main/base/bytes.h"
#include "main/base/expected.h"
#include "main/channel/package_watcher.h"
#include "main/channel/reply.h"
#include "main/platform/processes.h"

namespace lumar {

// The requesting process as the caller step opened it, the moment its
// request arrived. The handle keeps that very process (and so its id) from
// being replaced by another one for as long as the request is handled.
struct OpenedCaller {
  std::uint32_t pid = 0;
  ProcessHandle process;  // opened for ProcessAccess::kControl
};

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
  virtual std::unique_ptr<PackageWatcher> watch_package(const std::string& signature) = 0;
  // `caller` is the requesting process, opened when its request arrived;
  // `watcher` is what watch_package gave for this request, having seen all
  // of `package`.
  virtual Reply accept_update(Bytes package, const std::string& signature, OpenedCaller caller,
                              std::unique_ptr<PackageWatcher> watcher) = 0;
};

}  // namespace lumar
