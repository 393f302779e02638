// Work on a package's bytes done as the client's file is read (hashing, for
// a prehashed signature), so that it need not make a pass of its own after.
#pragma once

#include <cstdint>
#include <span>

namespace lumar {

class PackageWatcher {
 public:
  virtual ~PackageWatcher() = default;
  // The next piece of the package, in order. Its bytes stay where they are
  // and unchanged until lost() is called or the watcher is finished with.
  virtual void arrived(std::span<const std::uint8_t> bytes) = 0;
  // The pieces seen so far are about to move or go away: stop looking at
  // them, for good. What the watcher worked out is then not to be used.
  virtual void lost() = 0;
};

}  // namespace lumar
