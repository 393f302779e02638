// The requests the desktop application sends, one JSON line per connection,
// and the one table that names them on the wire. Adding an op means a struct
// here, its row in kOperations and its handler in the dispatcher.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
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

// Which builds serve an op. The others refuse it before it is handled.
enum class Served { kByEveryEdition, kByFullEditionOnly };

// A member of an op's object form, and the field it fills. Its wire type
// follows from the field's: an unsigned integer, a string, or an array of
// strings. The array form gives the members in the row's order.
template <class Alternative, class Field>
struct RequestMember {
  std::string_view name;
  Field Alternative::*field;
};

template <class Alternative, class Field>
constexpr RequestMember<Alternative, Field> request_member(std::string_view name,
                                                           Field Alternative::*field) {
  return {name, field};
}

template <class Alternative, class... Fields>
struct Operation {
  using Built = Alternative;
  std::string_view name;  // the "op" on the wire
  Served served;
  std::tuple<RequestMember<Alternative, Fields>...> members;
};

template <class Alternative, class... Fields>
constexpr Operation<Alternative, Fields...> operation(
    std::string_view name, Served served, RequestMember<Alternative, Fields>... members) {
  return {name, served, {members...}};
}

// One row per op, in the order of Request's alternatives.
inline constexpr std::tuple kOperations{
    operation<Ping>("ping", Served::kByEveryEdition),
    operation<Kill>("kill", Served::kByFullEditionOnly, request_member("pid", &Kill::pid)),
    operation<WriteHosts>("write_hosts", Served::kByFullEditionOnly,
                          request_member("domains", &WriteHosts::domains)),
    operation<InstallUpdate>("install_update", Served::kByEveryEdition,
                             request_member("path", &InstallUpdate::path),
                             request_member("signature", &InstallUpdate::signature)),
};

inline constexpr std::size_t kOperationCount = std::tuple_size_v<decltype(kOperations)>;

// The member every object form names its op with.
inline constexpr std::string_view kOpMember = "op";

namespace request_table {

template <std::size_t... I>
constexpr bool rows_follow_variant(std::index_sequence<I...>) {
  return (std::is_same_v<typename std::tuple_element_t<I, decltype(kOperations)>::Built,
                         std::variant_alternative_t<I, Request>> &&
          ...);
}

inline constexpr std::array<std::string_view, kOperationCount> kNames = std::apply(
    [](const auto&... row) { return std::array<std::string_view, kOperationCount>{row.name...}; },
    kOperations);

inline constexpr std::array<Served, kOperationCount> kServed = std::apply(
    [](const auto&... row) { return std::array<Served, kOperationCount>{row.served...}; },
    kOperations);

constexpr bool names_are_distinct() {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    for (std::size_t j = i + 1; j < kNames.size(); ++j) {
      if (kNames[i] == kNames[j]) return false;
    }
  }
  return true;
}

}  // namespace request_table

static_assert(kOperationCount == std::variant_size_v<Request>);
static_assert(request_table::rows_follow_variant(std::make_index_sequence<kOperationCount>{}));
static_assert(request_table::names_are_distinct());

// The request's "op" as it is written on the wire.
constexpr std::string_view operation_name(const Request& request) {
  return request_table::kNames[request.index()];
}

constexpr Served operation_served(const Request& request) {
  return request_table::kServed[request.index()];
}

// Objects and arrays may nest this deep, no deeper.
inline constexpr int kMaxJsonDepth = 128;

// Parses one request line (nothing at all when the client sent no byte).
// Returns nothing for every malformed request: the caller answers
// "bad request" and never reveals why.
std::optional<Request> parse_request(std::optional<std::string_view> line);

}  // namespace lumar
