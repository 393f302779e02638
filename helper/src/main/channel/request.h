// The requests the desktop application sends, one JSON line per connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lumar {

struct Ping {
  bool operator==(const Ping&) const = default;
};
struct Kill {
  std::uint64_t pid = 0;
  bool operator==(const Kill&) const = default;
};
struct WriteHosts {
  std::vector<std::string> domains;
  bool operator==(const WriteHosts&) const = default;
};
struct InstallUpdate {
  std::string path;
  std::string signature;
  bool operator==(const InstallUpdate&) const = default;
};

using Request = std::variant<Ping, Kill, WriteHosts, InstallUpdate>;

// Objects and arrays may nest this deep, no deeper.
inline constexpr int kMaxJsonDepth = 128;

// Parses one request line (nothing at all when the client sent no byte).
// Returns nothing for every malformed request: the caller answers
// "bad request" and never reveals why.
std::optional<Request> parse_request(std::optional<std::string_view> line);

}  // namespace lumar
