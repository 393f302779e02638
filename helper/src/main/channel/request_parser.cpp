// Request parsing with a SAX handler rather than a DOM: the handler sees
// every member as it arrives, so duplicate members, nesting depth and the
// exact kind of each number ("-0", fractions, exponents, values past
// 2^64 - 1) can be told apart, which a DOM would have folded away.
#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

#include "main/channel/request.h"

namespace lumar {
namespace {

using json = nlohmann::json;

// One top-level member value (or one element of the array form), reduced to
// what a request can use.
struct Value {
  enum class Kind { kString, kUnsigned, kStringArray, kOther } kind = Kind::kOther;
  std::string text;
  std::uint64_t number = 0;
  std::vector<std::string> strings;
};

// "op" and every op's member names, in table order; a name that two ops
// share is stored under its first place.
constexpr auto kKnownMembers = std::apply(
    [](const auto&... row) {
      std::array<std::string_view,
                 (1 + ... + std::tuple_size_v<std::remove_cvref_t<decltype(row.members)>>)>
          names{};
      std::size_t next = 0;
      names[next++] = kOpMember;
      auto add = [&](const auto& one) {
        std::apply([&](const auto&... member) { ((names[next++] = member.name), ...); },
                   one.members);
      };
      (add(row), ...);
      return names;
    },
    kOperations);

constexpr std::size_t known_member_slot(std::string_view name) {
  for (std::size_t i = 0; i < kKnownMembers.size(); ++i) {
    if (kKnownMembers[i] == name) return i;
  }
  return kKnownMembers.size();
}

class RequestSax {
 public:
  // Per known member name, every value it was given (more than one is a
  // duplicate; only the request's own members care).
  std::array<std::vector<Value>, kKnownMembers.size()> members;
  std::vector<Value> elements;  // the array form
  enum class Shape { kNone, kObject, kArray } shape = Shape::kNone;

  bool null() { return scalar(Value{}); }
  bool boolean(bool) { return scalar(Value{}); }
  bool number_integer(json::number_integer_t) { return scalar(Value{}); }  // has a minus sign
  bool number_unsigned(json::number_unsigned_t n) {
    return scalar(Value{Value::Kind::kUnsigned, {}, n, {}});
  }
  bool number_float(json::number_float_t, const json::string_t&) { return scalar(Value{}); }
  bool binary(json::binary_t&) { return scalar(Value{}); }
  bool string(json::string_t& s) {
    if (depth_ == 2 && capturing_) {
      if (current_.kind == Value::Kind::kStringArray) current_.strings.push_back(s);
      return true;
    }
    return scalar(Value{Value::Kind::kString, s, 0, {}});
  }

  bool start_object(std::size_t) { return open(/*is_array=*/false); }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(/*is_array=*/true); }
  bool end_array() { return close(); }

  bool key(json::string_t& name) {
    if (depth_ == 1) {
      const std::size_t slot = known_member_slot(name);
      slot_ = slot < kKnownMembers.size() ? static_cast<int>(slot) : -1;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  bool open(bool is_array) {
    if (++depth_ > kMaxJsonDepth) return false;
    if (depth_ == 1) {
      shape = is_array ? Shape::kArray : Shape::kObject;
    } else if (depth_ == 2) {
      capturing_ = true;
      current_ = Value{};
      current_.kind = is_array ? Value::Kind::kStringArray : Value::Kind::kOther;
    } else if (depth_ == 3) {
      current_.kind = Value::Kind::kOther;  // a container inside an array of strings
    }
    return true;
  }

  bool close() {
    if (depth_ == 2 && capturing_) {
      capturing_ = false;
      store(std::move(current_));
    }
    --depth_;
    return true;
  }

  bool scalar(Value value) {
    if (depth_ == 2 && capturing_) {
      current_.kind = Value::Kind::kOther;  // a non-string inside the array
      return true;
    }
    if (depth_ == 1) store(std::move(value));
    // depth 0 is a bare scalar: not a request, rejected after parsing.
    return true;
  }

  void store(Value value) {
    if (shape == Shape::kArray) {
      elements.push_back(std::move(value));
    } else if (slot_ >= 0) {
      members[static_cast<std::size_t>(slot_)].push_back(std::move(value));
    }
  }

  int depth_ = 0;
  int slot_ = -1;
  bool capturing_ = false;
  Value current_;
};

// The row of the op a value names, by its place in the table.
std::optional<std::size_t> op_named(const Value& value) {
  if (value.kind != Value::Kind::kString) return std::nullopt;
  for (std::size_t i = 0; i < request_table::kNames.size(); ++i) {
    if (value.text == request_table::kNames[i]) return i;
  }
  return std::nullopt;
}

// A member's value must have exactly its field's type.
bool read(const Value& value, std::uint64_t& field) {
  if (value.kind != Value::Kind::kUnsigned) return false;
  field = value.number;
  return true;
}
bool read(const Value& value, std::string& field) {
  if (value.kind != Value::Kind::kString) return false;
  field = value.text;
  return true;
}
bool read(const Value& value, std::vector<std::string>& field) {
  if (value.kind != Value::Kind::kStringArray) return false;
  field = value.strings;
  return true;
}

template <class Row>
constexpr std::size_t member_count = std::tuple_size_v<decltype(Row::members)>;

// Builds the request of `row` from its member values, in the row's order.
template <class Row>
std::optional<Request> build(const Row& row, const std::vector<const Value*>& values) {
  if (values.size() != member_count<Row>) return std::nullopt;
  typename Row::Built request{};
  bool typed = true;
  std::size_t next = 0;
  std::apply(
      [&](const auto&... member) {
        ((typed = typed && read(*values[next++], request.*(member.field))), ...);
      },
      row.members);
  if (!typed) return std::nullopt;
  return Request{std::move(request)};
}

// Calls `body` with the table's row number `op`.
template <class Body>
std::optional<Request> with_row(std::size_t op, Body&& body) {
  auto visit_rows = [&]<std::size_t... I>(std::index_sequence<I...>) {
    std::optional<Request> request;
    static_cast<void>(((I == op && (request = body(std::get<I>(kOperations)), true)) || ...));
    return request;
  };
  return visit_rows(std::make_index_sequence<kOperationCount>{});
}

std::optional<Request> from_object(const RequestSax& sax) {
  const auto& ops = sax.members[known_member_slot(kOpMember)];
  if (ops.size() != 1) return std::nullopt;
  const std::optional<std::size_t> op = op_named(ops[0]);
  if (!op) return std::nullopt;
  return with_row(*op, [&](const auto& row) -> std::optional<Request> {
    std::vector<const Value*> values;
    bool each_once = true;
    std::apply(
        [&](const auto&... member) {
          [[maybe_unused]] auto take = [&](std::string_view name) {
            const auto& given = sax.members[known_member_slot(name)];
            if (given.size() != 1) return false;  // missing or repeated
            values.push_back(&given[0]);
            return true;
          };
          each_once = (take(member.name) && ...);
        },
        row.members);
    if (!each_once) return std::nullopt;
    return build(row, values);
  });
}

std::optional<Request> from_array(const RequestSax& sax) {
  if (sax.elements.empty()) return std::nullopt;
  const std::optional<std::size_t> op = op_named(sax.elements[0]);
  if (!op) return std::nullopt;
  std::vector<const Value*> values;
  for (std::size_t i = 1; i < sax.elements.size(); ++i) values.push_back(&sax.elements[i]);
  return with_row(*op, [&](const auto& row) { return build(row, values); });
}

}  // namespace

std::optional<Request> parse_request(std::optional<std::string_view> line) {
  if (!line) return std::nullopt;
  // The JSON library would skip a byte-order mark; it is not JSON white space.
  if (line->starts_with("\xEF\xBB\xBF")) return std::nullopt;
  // It would also take a NUL byte for the end of the text, and JSON has no
  // place for a raw NUL.
  if (line->find('\0') != std::string_view::npos) return std::nullopt;
  RequestSax sax;
  const bool parsed =
      json::sax_parse(line->begin(), line->end(), &sax, json::input_format_t::json, true);
  if (!parsed) return std::nullopt;
  switch (sax.shape) {
    case RequestSax::Shape::kObject:
      return from_object(sax);
    case RequestSax::Shape::kArray:
      return from_array(sax);
    case RequestSax::Shape::kNone:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace lumar
