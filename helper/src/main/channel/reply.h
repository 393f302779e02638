// The reply to one pipe request: {"ok":true} or {"ok":false,"error":"…"}.
#pragma once

#include <optional>
#include <string>

namespace lumar {

struct Reply {
  bool ok = true;
  std::optional<std::string> error;  // present exactly when ok is false

  static Reply success() { return Reply{}; }
  static Reply failure(std::string text) { return Reply{false, std::move(text)}; }
  bool operator==(const Reply&) const = default;
};

inline constexpr const char* kBadRequest = "bad request";

// Compact JSON with exactly the bytes clients expect: "ok" then, only for a
// failure, "error"; strings escaped as JSON requires and no further.
std::string serialize_reply(const Reply& reply);

}  // namespace lumar
