#include "app_protocol.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace lumar::app {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

std::string ping_request() { return "{\"op\":\"ping\"}\n"; }

Result<std::string> update_request(std::string_view package_path, std::string_view minisig_file) {
  // Checked here because the helper, which reads the file in its own current
  // folder and under the user's identity, would read another file or none.
  if (package_path.find('\0') != std::string_view::npos) {
    return fail("the package path holds a NUL character");
  }
  if (!is_utf8(package_path)) return fail("the package path is not UTF-8");
  if (!is_full_path(package_path)) return fail("the package path is not a full path");
  const nlohmann::json request = {{"op", "install_update"},
                                  {"path", std::string(package_path)},
                                  {"signature", encode_base64(minisig_file)}};
  return request.dump() + "\n";
}

Answer read_answer(const Exchange& exchange) {
  Answer answer;
  answer.sent = exchange.sent;
  if (!exchange.reply) {
    answer.error = exchange.error;
    return answer;
  }
  const nlohmann::json reply = nlohmann::json::parse(*exchange.reply, nullptr, false);
  const bool understood = reply.is_object() && reply.contains("ok") && reply["ok"].is_boolean();
  if (!understood) {
    answer.error = "the helper's reply is not understood";
    return answer;
  }
  answer.ok = reply["ok"].get<bool>();
  if (const auto error = reply.find("error"); error != reply.end() && error->is_string()) {
    answer.error = error->get<std::string>();
  }
  return answer;
}

std::string encode_base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    std::uint32_t group = std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (left > 1) group |= std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    if (left > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out += left > 2 ? kAlphabet[group & 63] : '=';
  }
  return out;
}

bool is_full_path(std::string_view path) {
  if (path.size() >= 3 && is_ascii_letter(path[0]) && path[1] == ':' && is_separator(path[2])) {
    return true;
  }
  return path.size() >= 3 && is_separator(path[0]) && is_separator(path[1]) &&
         !is_separator(path[2]);
}

bool is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t c = 0;
    if (lead < 0x80) {
      length = 1;
      c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07u;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      c = (c << 6) | (next & 0x3Fu);
    }
    const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
    if (overlong || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
    i += length;
  }
  return true;
}

}  // namespace lumar::app
