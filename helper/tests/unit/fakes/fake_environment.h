// Environment variables that tests set by hand; none are set at first.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "main/platform/environment.h"

namespace lumar::test {

class FakeEnvironment final : public Environment {
 public:
  std::map<std::string, std::string, std::less<>> values;
  std::optional<std::string> get(std::string_view name) const override {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
};

}  // namespace lumar::test
