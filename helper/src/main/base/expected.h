// A value or the reason it could not be had, in the manner of base::expected.
// Failures are values in this code base: no exception crosses a module line.
//
// There is no conversion to bool, only has_value(): with one, `if (!result)`
// and `if (!*result)` would read alike for a result that holds a bool or an
// optional and mean different things. For the same reason no result holds a
// bool; a yes-or-no answer that can fail is an enum.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace lumar {

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

// Shorthand for the usual case, an error text.
inline Unexpected<std::string> fail(std::string text) {
  return Unexpected<std::string>(std::move(text));
}

template <class T, class E = std::string>
class [[nodiscard]] Expected {
 public:
  template <class U = T>
  requires std::is_constructible_v<T, U&&> Expected(U&& value)
      : state_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT
  template <class G>
  Expected(Unexpected<G> error)
      : state_(std::in_place_index<1>, std::move(error).error()) {}  // NOLINT

  bool has_value() const { return state_.index() == 0; }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <class G>
  Expected(Unexpected<G> error) : error_(std::move(error).error()), failed_(true) {}  // NOLINT

  bool has_value() const { return !failed_; }
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_{};
  bool failed_ = false;
};

// The two results of this code base: a readable error text, for whatever the
// logic reports or logs, and the system's error code alone, for the thin
// calls whose caller words the failure itself.
template <class T>
using Result = Expected<T, std::string>;
using Status = Expected<void, std::string>;
template <class T>
using SystemResult = Expected<T, std::uint32_t>;
using SystemStatus = Expected<void, std::uint32_t>;

}  // namespace lumar
