// The process environment, as far as the helper reads it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace lumar {

class Environment {
 public:
  virtual ~Environment() = default;
  // The variable's value, or nothing when it is unset or not valid Unicode.
  virtual std::optional<std::string> get(std::string_view name) const = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<Environment> make_win32_environment();

}  // namespace lumar
