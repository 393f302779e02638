// lumar-helper-client update <package.msi> <signature file>
//
// Asks the helper to install a package as the desktop app would: the
// package's full path, and the minisign signature file's bytes in Base64.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <vector>

#include "client_commands.h"
#include "main/win32/win32_text.h"

namespace lumar {

namespace {

std::string base64(const std::string& bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto byte = [&](std::size_t at) {
    return std::uint32_t{static_cast<unsigned char>(bytes[at])};
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(n >> shift) & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    const std::uint32_t n = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// The helper reads the package under the caller's identity from the path
// given, so a relative path is made absolute against this process's folder.
std::optional<std::string> full_path(const std::string& path) {
  const std::wstring relative = wide(path);
  std::vector<wchar_t> buffer(32768);
  const DWORD n = ::GetFullPathNameW(relative.c_str(), static_cast<DWORD>(buffer.size()),
                                     buffer.data(), nullptr);
  if (n == 0 || n >= buffer.size()) return std::nullopt;
  return narrow_lossy(std::wstring_view(buffer.data(), n));
}

}  // namespace

std::optional<int> run_update_command(const std::vector<std::string>& args) {
  if (args.size() != 3 || args[0] != "update") return std::nullopt;
  const std::optional<std::string> package = full_path(args[1]);
  if (!package) {
    std::fprintf(stderr, "lumar-helper-client: cannot resolve %s\n", args[1].c_str());
    return 1;
  }
  const std::optional<std::string> signature = client_read_file(args[2]);
  if (!signature) {
    std::fprintf(stderr, "lumar-helper-client: cannot read %s\n", args[2].c_str());
    return 1;
  }
  const nlohmann::json request = {
      {"op", "install_update"}, {"path", *package}, {"signature", base64(*signature)}};
  return client_exchange(request.dump() + "\n");
}

}  // namespace lumar
