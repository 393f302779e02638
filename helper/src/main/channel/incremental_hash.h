// A package's hash worked out piece by piece as the client's file is read
// (for a prehashed signature), so that it needs no pass of its own after.
#pragma once

#include <cstdint>
#include <span>

namespace lumar {

class IncrementalHash {
 public:
  virtual ~IncrementalHash() = default;
  // The next piece of the package, in order. Its bytes stay where they are
  // and unchanged until lost() is called or the hash is finished with.
  virtual void arrived(std::span<const std::uint8_t> bytes) = 0;
  // The pieces seen so far are about to move or go away: stop looking at
  // them, for good. What the hash worked out is then not to be used.
  virtual void lost() = 0;
};

}  // namespace lumar
