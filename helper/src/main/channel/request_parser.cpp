// Request parsing with a SAX handler rather than a DOM: the handler sees
// every member as it arrives, so duplicate members, nesting depth and the
// exact kind of each number ("-0", fractions, exponents, values past
// 2^64 - 1) can be told apart, which a DOM would have folded away.
#include <array>
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

constexpr std::array<std::string_view, 5> kKnownMembers = {"op", "pid", "domains", "path",
                                                           "signature"};

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
      slot_ = -1;
      for (std::size_t i = 0; i < kKnownMembers.size(); ++i) {
        if (name == kKnownMembers[i]) slot_ = static_cast<int>(i);
      }
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

enum class Op { kPing, kKill, kWriteHosts, kInstallUpdate };

std::optional<Op> op_named(const Value& value) {
  if (value.kind != Value::Kind::kString) return std::nullopt;
  if (value.text == "ping") return Op::kPing;
  if (value.text == "kill") return Op::kKill;
  if (value.text == "write_hosts") return Op::kWriteHosts;
  if (value.text == "install_update") return Op::kInstallUpdate;
  return std::nullopt;
}

// Builds the request from the op and its member values, in the order the
// variant lists them; every value must have exactly the member's type.
std::optional<Request> build(Op op, const std::vector<const Value*>& values) {
  auto is = [&](std::size_t i, Value::Kind kind) {
    return i < values.size() && values[i]->kind == kind;
  };
  switch (op) {
    case Op::kPing:
      if (!values.empty()) return std::nullopt;
      return Ping{};
    case Op::kKill:
      if (values.size() != 1 || !is(0, Value::Kind::kUnsigned)) return std::nullopt;
      return Kill{values[0]->number};
    case Op::kWriteHosts:
      if (values.size() != 1 || !is(0, Value::Kind::kStringArray)) return std::nullopt;
      return WriteHosts{values[0]->strings};
    case Op::kInstallUpdate:
      if (values.size() != 2 || !is(0, Value::Kind::kString) || !is(1, Value::Kind::kString)) {
        return std::nullopt;
      }
      return InstallUpdate{values[0]->text, values[1]->text};
  }
  return std::nullopt;
}

std::vector<std::size_t> member_slots(Op op) {
  switch (op) {
    case Op::kPing: return {};
    case Op::kKill: return {1};
    case Op::kWriteHosts: return {2};
    case Op::kInstallUpdate: return {3, 4};
  }
  return {};
}

std::optional<Request> from_object(const RequestSax& sax) {
  const auto& ops = sax.members[0];
  if (ops.size() != 1) return std::nullopt;
  const std::optional<Op> op = op_named(ops[0]);
  if (!op) return std::nullopt;
  std::vector<const Value*> values;
  for (std::size_t slot : member_slots(*op)) {
    if (sax.members[slot].size() != 1) return std::nullopt;  // missing or repeated
    values.push_back(&sax.members[slot][0]);
  }
  return build(*op, values);
}

std::optional<Request> from_array(const RequestSax& sax) {
  if (sax.elements.empty()) return std::nullopt;
  const std::optional<Op> op = op_named(sax.elements[0]);
  if (!op) return std::nullopt;
  std::vector<const Value*> values;
  for (std::size_t i = 1; i < sax.elements.size(); ++i) values.push_back(&sax.elements[i]);
  return build(*op, values);
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
    case RequestSax::Shape::kObject: return from_object(sax);
    case RequestSax::Shape::kArray: return from_array(sax);
    case RequestSax::Shape::kNone: return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace lumar
