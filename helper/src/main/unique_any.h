// One owner type for every kind of handle, in the manner of WIL's unique_any:
// the handle type, the function that releases it and the value that means
// "no handle" are template arguments, so each handle kind is one alias.
#pragma once

#include <utility>

namespace lumar {

template <class T, auto Close, T Invalid = T{}>
class UniqueAny {
 public:
  UniqueAny() = default;
  explicit UniqueAny(T value) : value_(value) {}
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueAny() { reset(); }

  T get() const { return value_; }
  bool valid() const { return value_ != Invalid; }
  explicit operator bool() const { return valid(); }

  // Closes the current handle (if any) and takes ownership of `value`.
  void reset(T value = Invalid) {
    if (valid()) Close(value_);
    value_ = value;
  }
  [[nodiscard]] T release() { return std::exchange(value_, Invalid); }

  // For APIs that return a handle through an out-parameter.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_ = Invalid;
};

}  // namespace lumar
