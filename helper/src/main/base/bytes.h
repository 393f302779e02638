// Raw bytes as they come from a file or a pipe.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace lumar {

// Leaves new elements uninitialised on resize: a package buffer of up to
// 512 MiB is allocated and then filled by a read, and zeroing it first would
// cost a full extra pass over the memory.
template <class T>
class DefaultInitAllocator : public std::allocator<T> {
 public:
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;

  template <class U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

using Bytes = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;

}  // namespace lumar
