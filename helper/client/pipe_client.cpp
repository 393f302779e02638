#include "pipe_client.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <thread>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/product.h"

namespace lumar {
namespace {

using Clock = std::chrono::steady_clock;

Result<UniqueFile> connect(std::chrono::milliseconds within) {
  const std::wstring name = wide(kPipeName);
  const auto deadline = Clock::now() + within;
  for (;;) {
    // Overlapped, so that every transfer can be given up at the deadline.
    UniqueFile pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe) return pipe;
    const DWORD error = ::GetLastError();
    if (Clock::now() >= deadline) {
      return fail("connect to the helper: " + os_error_text(error));
    }
    // Busy (231): another client is being served. Absent (2): the server is
    // not up yet. Wine's WaitNamedPipeW can fail with 676 while a retry of
    // CreateFileW would succeed, so its answer only paces the loop.
    if (error == ERROR_PIPE_BUSY) {
      ::WaitNamedPipeW(name.c_str(), 100);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

// The process id of the LumarHelper service, 0 when it has no process (not
// installed, or stopped).
Result<DWORD> service_process_id() {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail("open the service manager: " + last_os_error_text());
  UniqueServiceHandle service(
      ::OpenServiceW(manager.get(), wide(kServiceName).c_str(), SERVICE_QUERY_STATUS));
  if (!service) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return DWORD{0};
    return fail("open the LumarHelper service: " + os_error_text(error));
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
    return fail("query the LumarHelper service: " + last_os_error_text());
  }
  return status.dwCurrentState == SERVICE_STOPPED ? DWORD{0} : status.dwProcessId;
}

// Runs one overlapped transfer on `pipe` and waits for it until `deadline`;
// past it the transfer is cancelled and `timed_out` set. The bytes moved, or
// nothing.
template <class Start>
std::optional<DWORD> transfer(HANDLE pipe, HANDLE event, Clock::time_point deadline,
                              bool& timed_out, Start start) {
  OVERLAPPED ov{};
  ov.hEvent = event;
  DWORD moved = 0;
  if (start(&ov, &moved)) return moved;
  if (::GetLastError() != ERROR_IO_PENDING) return std::nullopt;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  const DWORD wait_ms =
      static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
  // The wait's own timer decides, not a second look at the clock: it may
  // wake a little before the deadline as the clock reads it.
  if (::WaitForSingleObject(event, wait_ms) != WAIT_OBJECT_0) {
    timed_out = true;
    ::CancelIoEx(pipe, &ov);
  }
  // The OVERLAPPED lives on this frame: wait for the transfer to end.
  if (::GetOverlappedResult(pipe, &ov, &moved, TRUE)) return moved;
  return std::nullopt;
}

std::string time_limit_text(std::chrono::milliseconds limit) {
  return "no reply from the helper within " +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
}

// Nothing when `pipe`'s server may be talked to: a foreground server is
// allowed, or it is the running LumarHelper service. Otherwise "the pipe is
// not served by the LumarHelper service", or why the server or the service
// could not be identified.
std::optional<std::string> check_pipe_server(HANDLE pipe, bool allow_foreground_server) {
  if (allow_foreground_server) return std::nullopt;
  ULONG server = 0;
  if (!::GetNamedPipeServerProcessId(pipe, &server)) {
    return "identify the pipe's server: " + last_os_error_text();
  }
  // Asked after connecting: the service's process is the one that runs now.
  const Result<DWORD> service = service_process_id();
  if (!service) return service.error();
  if (*service != 0 && *service == server) return std::nullopt;
  return "the pipe is not served by the LumarHelper service";
}

}  // namespace

Result<std::string> exchange_with_helper(std::string_view request,
                                         const PipeExchangeOptions& options) {
  Result<UniqueFile> pipe = connect(options.connect_deadline);
  if (!pipe) return fail(pipe.error());
  if (std::optional<std::string> refused =
          check_pipe_server(pipe->get(), options.allow_foreground_server)) {
    return fail(*refused);
  }
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return fail("create an event: " + last_os_error_text());
  const auto deadline = Clock::now() + options.reply_time_limit;
  bool timed_out = false;

  std::string_view left = request;
  while (!left.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left.size(), 65536));
    const std::optional<DWORD> written =
        transfer(pipe->get(), event.get(), deadline, timed_out, [&](OVERLAPPED* ov, DWORD* n) {
          return ::WriteFile(pipe->get(), left.data(), chunk, n, ov);
        });
    if (!written) {
      if (timed_out) return fail(time_limit_text(options.reply_time_limit));
      return fail("write the request: " + last_os_error_text());
    }
    left.remove_prefix(*written);
  }

  std::string reply;
  char buffer[4096];
  for (;;) {
    const std::optional<DWORD> got =
        transfer(pipe->get(), event.get(), deadline, timed_out, [&](OVERLAPPED* ov, DWORD* n) {
          return ::ReadFile(pipe->get(), buffer, sizeof buffer, n, ov);
        });
    if (!got || *got == 0) break;
    reply.append(buffer, *got);
    if (reply.find('\n') != std::string::npos) break;
  }
  if (reply.find('\n') == std::string::npos && timed_out) {
    return fail(time_limit_text(options.reply_time_limit));
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

}  // namespace lumar
