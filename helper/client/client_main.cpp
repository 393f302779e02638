// lumar-helper-client: talks to a running helper.
//
//   lumar-helper-client ping
//   lumar-helper-client send '<line>'       sends the line as given, then a line feed
//   lumar-helper-client send --raw '<text>' sends the text exactly as given
//   lumar-helper-client send --file <path>  sends the file's bytes exactly
//
// Prints the reply line; exits 0 when "ok" is true, 1 otherwise, 2 on usage.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client_commands.h"
#include "main/win32/win32_text.h"
#include "pipe_client.h"

namespace lumar {
namespace {

int usage() {
  std::fputs(
      "usage: lumar-helper-client ping | send '<line>' | send --raw '<text>' | send --file "
      "<path> | update <package.msi> <signature file>\n",
      stderr);
  return 2;
}

std::optional<std::string> read_whole_file(const std::string& path) {
  std::ifstream in(std::filesystem::path(wide(path)), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int client_exchange(const std::string& request) {
  const Result<std::string> reply = exchange_with_helper(request);
  if (!reply) {
    std::fprintf(stderr, "lumar-helper-client: %s\n", reply.error().c_str());
    return 1;
  }
  std::fwrite(reply->data(), 1, reply->size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return reply_is_ok(*reply) ? 0 : 1;
}

std::optional<std::string> client_read_file(const std::string& path) { return read_whole_file(path); }

}  // namespace lumar

int wmain(int argc, wchar_t** argv) {
  using namespace lumar;
  // The reply is printed byte for byte: no CR added before its line feed.
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(narrow_lossy(argv[i]));
  if (args.empty()) return usage();

  if (args[0] == "ping" && args.size() == 1) return client_exchange("{\"op\":\"ping\"}\n");
  if (args[0] == "send" && args.size() == 2) return client_exchange(args[1] + "\n");
  if (args[0] == "send" && args.size() == 3 && args[1] == "--raw") return client_exchange(args[2]);
  if (args[0] == "send" && args.size() == 3 && args[1] == "--file") {
    const std::optional<std::string> bytes = read_whole_file(args[2]);
    if (!bytes) {
      std::fprintf(stderr, "lumar-helper-client: cannot read %s\n", args[2].c_str());
      return 1;
    }
    return client_exchange(*bytes);
  }
  if (std::optional<int> code = run_extra_client_command(args)) return *code;
  return usage();
}
