// lumar-helper-client: talks to a running helper.
//
//   lumar-helper-client [options] ping
//   lumar-helper-client [options] send '<line>'       sends the line as given, then a line feed
//   lumar-helper-client [options] send --raw '<text>' sends the text exactly as given
//   lumar-helper-client [options] send --file <path>  sends the file's bytes exactly
//   lumar-helper-client verify PACKAGE.msi SIGNATURE.minisig [--installed VERSION] [--json]
//                      [--strict]                    the helper's checks on a package,
//                                                    without the helper
//
// Options:
//   --timeout S           wait at most S seconds for the reply (120 by default)
//   --allow-foreground    talk to the pipe even when the LumarHelper service
//                         is not the process serving it (a helper run in the
//                         foreground, for tests)
//
// Prints the reply line; exits 0 when "ok" is true, 1 otherwise, 2 on usage.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "client_verify.h"
#include "main/base/text_win32.h"
#include "pipe_client.h"

namespace lumar {
namespace {

// Beyond this a wait in milliseconds no longer fits the system's timer.
constexpr std::uint32_t kMaxTimeoutSeconds = 4000000;

int usage() {
  std::fputs(
      "usage: lumar-helper-client [--timeout S] [--allow-foreground] ping | send '<line>' | "
      "send --raw '<text>' | send --file <path>\n",
      stderr);
  std::fprintf(stderr, "       %s\n", kVerifyUsage);
  return 2;
}

std::optional<std::string> read_whole_file(const std::string& path) {
  std::ifstream in(std::filesystem::path(wide(path)), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<std::uint32_t> parse_seconds(const std::string& text) {
  std::uint32_t seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (seconds == 0 || seconds > kMaxTimeoutSeconds) return std::nullopt;
  return seconds;
}

int send_to_helper(const std::string& request, const PipeExchangeOptions& options) {
  const Result<std::string> reply = exchange_with_helper(request, options);
  if (!reply.has_value()) {
    std::fprintf(stderr, "lumar-helper-client: %s\n", reply.error().c_str());
    return 1;
  }
  std::fwrite(reply->data(), 1, reply->size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return reply_is_ok(*reply) ? 0 : 1;
}

}  // namespace
}  // namespace lumar

int wmain(int argc, wchar_t** argv) {
  using namespace lumar;
  // The reply is printed byte for byte: no CR added before its line feed.
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(narrow_lossy(argv[i]));

  // Checks a package on this machine; the helper is not involved.
  if (!args.empty() && args[0] == "verify") {
    return run_verify(std::vector<std::string>(args.begin() + 1, args.end()));
  }

  PipeExchangeOptions options;
  std::size_t at = 0;
  for (; at < args.size() && args[at].starts_with("--"); ++at) {
    if (args[at] == "--allow-foreground") {
      options.allow_foreground_server = true;
    } else if (args[at] == "--timeout" && at + 1 < args.size()) {
      const std::optional<std::uint32_t> seconds = parse_seconds(args[++at]);
      if (!seconds) return usage();
      options.reply_time_limit = std::chrono::seconds(*seconds);
    } else {
      return usage();
    }
  }
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(at));
  if (args.empty()) return usage();

  if (args[0] == "ping" && args.size() == 1) return send_to_helper("{\"op\":\"ping\"}\n", options);
  if (args[0] == "send" && args.size() == 2) return send_to_helper(args[1] + "\n", options);
  if (args[0] == "send" && args.size() == 3 && args[1] == "--raw")
    return send_to_helper(args[2], options);
  if (args[0] == "send" && args.size() == 3 && args[1] == "--file") {
    const std::optional<std::string> bytes = read_whole_file(args[2]);
    if (!bytes) {
      std::fprintf(stderr, "lumar-helper-client: cannot read %s\n", args[2].c_str());
      return 1;
    }
    return send_to_helper(*bytes, options);
  }
  return usage();
}
