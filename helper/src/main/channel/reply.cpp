#include "main/channel/reply.h"

namespace lumar {
namespace {

void append_json_string(std::string& out, const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace

std::string serialize_reply(const Reply& reply) {
  if (reply.ok || !reply.error) return reply.ok ? R"({"ok":true})" : R"({"ok":false})";
  std::string out = R"({"ok":false,"error":)";
  append_json_string(out, *reply.error);
  out += '}';
  return out;
}

}  // namespace lumar
