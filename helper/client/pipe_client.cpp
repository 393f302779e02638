#include "pipe_client.h"

#include <windows.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "main/product.h"
#include "main/win32/win32_handle.h"
#include "main/win32/win32_text.h"

namespace lumar {
namespace {

Result<UniqueFile> connect(std::chrono::milliseconds within) {
  const std::wstring name = wide(kPipeName);
  const auto deadline = std::chrono::steady_clock::now() + within;
  for (;;) {
    UniqueFile pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    const DWORD error = ::GetLastError();
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail("connect to the helper: " + os_error_text(error));
    }
    // Busy (231): another client is being served. Absent (2): the server is
    // between two instances or not up yet. Wine's WaitNamedPipeW can fail
    // with 676 while a retry of CreateFileW would succeed, so its answer
    // only paces the loop.
    if (error == ERROR_PIPE_BUSY) {
      ::WaitNamedPipeW(name.c_str(), 100);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

}  // namespace

Result<std::string> exchange_with_helper(std::string_view request,
                                         const PipeExchangeOptions& options) {
  Result<UniqueFile> pipe = connect(options.connect_deadline);
  if (!pipe) return fail(pipe.error());

  std::string_view left = request;
  while (!left.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left.size(), 65536));
    if (!::WriteFile(pipe->get(), left.data(), chunk, &written, nullptr)) {
      return fail("write the request: " + last_os_error_text());
    }
    left.remove_prefix(written);
  }
  // A pipe has no half-close; the server sees the end of our data when the
  // request holds a line feed, or when it times out waiting for one.
  (void)options.half_close_after_send;

  std::string reply;
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(pipe->get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    reply.append(buffer, got);
    if (reply.find('\n') != std::string::npos) break;
  }
  if (reply.empty()) return fail("the helper closed the connection without a reply");
  if (const std::size_t end = reply.find('\n'); end != std::string::npos) reply.resize(end);
  return reply;
}

bool reply_is_ok(std::string_view reply) {
  const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
  if (!parsed.is_object()) return false;
  const auto ok = parsed.find("ok");
  return ok != parsed.end() && ok->is_boolean() && ok->get<bool>();
}

std::string base64_encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16 |
                            std::uint32_t(std::uint8_t(bytes[i + 1])) << 8 |
                            std::uint8_t(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16;
    if (rest == 2) v |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace lumar
