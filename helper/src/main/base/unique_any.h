// One owner type for every kind of handle, in the manner of WIL's unique_any.
// A traits class names the handle type, the value that means "no handle" and
// the function that releases it, so each handle kind is one alias.
#pragma once

#include <cstdint>
#include <utility>

namespace lumar {

template <class Traits>
class UniqueAny {
 public:
  using type = typename Traits::type;

  UniqueAny() = default;
  explicit UniqueAny(type value) : value_(value) {}
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueAny() { reset(); }

  type get() const { return value_; }
  bool valid() const { return value_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }

  // Releases the current handle (if any) and takes ownership of `value`.
  void reset(type value = Traits::invalid()) {
    if (valid()) Traits::close(value_);
    value_ = value;
  }
  [[nodiscard]] type release() { return std::exchange(value_, Traits::invalid()); }

  // For APIs that return a handle through an out-parameter.
  type* put() {
    reset();
    return &value_;
  }

 private:
  type value_ = Traits::invalid();
};

// Traits for handle kinds whose "none" value is a constant expression.
template <class T, auto Close, T Invalid = T{}>
struct ValueHandleTraits {
  using type = T;
  static constexpr T invalid() { return Invalid; }
  static void close(T value) { Close(value); }
};

template <class T, auto Close, T Invalid = T{}>
using UniqueValue = UniqueAny<ValueHandleTraits<T, Close, Invalid>>;

// Portable code holds some handles without knowing their kind: the adapter
// that opened one hands it over as a number only it understands, together
// with the closer that gives it back to the system.
class HandleCloser {
 public:
  virtual void close(std::uintptr_t value) = 0;

 protected:
  ~HandleCloser() = default;
};

struct OpaqueValue {
  std::uintptr_t value = 0;
  HandleCloser* closer = nullptr;  // none: no handle
  friend bool operator==(const OpaqueValue&, const OpaqueValue&) = default;
};

template <class Tag>
struct OpaqueHandleTraits {
  using type = OpaqueValue;
  static constexpr type invalid() { return {}; }
  static void close(type handle) { handle.closer->close(handle.value); }
};

// One alias per kind (the tag), so that one kind cannot stand in for another.
template <class Tag>
using UniqueOpaque = UniqueAny<OpaqueHandleTraits<Tag>>;

}  // namespace lumar
