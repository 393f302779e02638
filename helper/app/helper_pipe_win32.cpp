// The helper's pipe through Win32: overlapped transfers, so that each can be
// given up at its deadline, and the server check through
// GetNamedPipeServerProcessId and the service manager.
#include <windows.h>

#include <algorithm>
#include <thread>

#include "helper_pipe.h"
#include "main/base/unique_any_win32.h"
#include "main/service/product.h"

namespace lumar::app {
namespace {

using Clock = std::chrono::steady_clock;

// The product's names are ASCII.
std::wstring wide_ascii(std::string_view text) { return std::wstring(text.begin(), text.end()); }

std::string narrow(std::wstring_view text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
  return out;
}

// The system's message for `code`, then " (os error {code})".
std::string os_error_text(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  const UniqueLocal held(buffer);
  std::string message = length > 0 && buffer != nullptr ? narrow(std::wstring_view(buffer, length))
                                                        : std::string("Unknown error");
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message + " (os error " + std::to_string(code) + ")";
}

std::string last_os_error_text() { return os_error_text(::GetLastError()); }

DWORD milliseconds_until(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  // INFINITE is one more than the longest wait.
  return static_cast<DWORD>(
      std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INFINITE - 1));
}

// The process id of the LumarHelper service, 0 when it has no process (not
// installed, or stopped).
Result<DWORD> service_process_id() {
  UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return fail("open the service manager: " + last_os_error_text());
  UniqueServiceHandle service(
      ::OpenServiceW(manager.get(), wide_ascii(kServiceName).c_str(), SERVICE_QUERY_STATUS));
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

class Win32HelperConnection final : public HelperConnection {
 public:
  Win32HelperConnection(UniqueFile pipe, UniqueHandle event)
      : pipe_(std::move(pipe)), event_(std::move(event)) {}

  std::optional<std::string> check_server() override {
    ULONG server = 0;
    if (!::GetNamedPipeServerProcessId(pipe_.get(), &server)) {
      return "identify the pipe's server: " + last_os_error_text();
    }
    // Asked after connecting: the service's process is the one that runs now.
    const Result<DWORD> service = service_process_id();
    if (!service.has_value()) return service.error();
    if (*service != 0 && *service == server) return std::nullopt;
    return "the pipe is not served by the LumarHelper service";
  }

  Transfer write(std::string_view bytes, Deadline deadline) override {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 65536));
    return transfer(deadline, [&](OVERLAPPED* ov, DWORD* moved) {
      return ::WriteFile(pipe_.get(), bytes.data(), chunk, moved, ov);
    });
  }

  Transfer read(std::string& into, Deadline deadline) override {
    char buffer[4096];
    const Transfer got = transfer(deadline, [&](OVERLAPPED* ov, DWORD* moved) {
      return ::ReadFile(pipe_.get(), buffer, sizeof buffer, moved, ov);
    });
    into.append(buffer, got.bytes);
    return got;
  }

 private:
  // Runs one overlapped transfer and waits for it until `deadline`; past it
  // the transfer is cancelled.
  template <class Start>
  Transfer transfer(Deadline deadline, Start start) {
    Transfer result;
    OVERLAPPED ov{};
    ov.hEvent = event_.get();
    DWORD moved = 0;
    if (start(&ov, &moved)) {
      result.end = Transfer::End::kDone;
      result.bytes = moved;
      return result;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      // The wait's own timer decides, not a second look at the clock: it may
      // wake a little before the deadline as the clock reads it.
      const bool timed_out =
          ::WaitForSingleObject(event_.get(), milliseconds_until(deadline)) != WAIT_OBJECT_0;
      if (timed_out) ::CancelIoEx(pipe_.get(), &ov);
      // The OVERLAPPED lives on this frame: wait for the transfer to end.
      const bool done = ::GetOverlappedResult(pipe_.get(), &ov, &moved, TRUE);
      error = ::GetLastError();
      result.bytes = moved;
      if (done) {
        result.end = Transfer::End::kDone;
        return result;
      }
      if (timed_out) {
        result.end = Transfer::End::kTimedOut;
        return result;
      }
    }
    result.end = Transfer::End::kFailed;
    result.error = os_error_text(error);
    return result;
  }

  UniqueFile pipe_;
  UniqueHandle event_;
};

class Win32HelperPipe final : public HelperPipe {
 public:
  Result<std::unique_ptr<HelperConnection>> connect(std::chrono::milliseconds within) override {
    const std::wstring name = wide_ascii(kPipeName);
    const auto deadline = Clock::now() + within;
    for (;;) {
      // Overlapped, so that every transfer can be given up at the deadline.
      UniqueFile pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
      if (pipe) {
        UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event) return fail("create an event: " + last_os_error_text());
        return std::unique_ptr<HelperConnection>(
            std::make_unique<Win32HelperConnection>(std::move(pipe), std::move(event)));
      }
      const DWORD error = ::GetLastError();
      if (Clock::now() >= deadline) return fail("connect to the helper: " + os_error_text(error));
      // Busy (231): another client is being served. Absent (2): the server
      // is not up yet. Wine's WaitNamedPipeW can fail with 676 while a retry
      // of CreateFileW would succeed, so its answer only paces the loop.
      if (error == ERROR_PIPE_BUSY) {
        ::WaitNamedPipeW(name.c_str(), 100);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }
};

}  // namespace

std::unique_ptr<HelperPipe> make_win32_helper_pipe() { return std::make_unique<Win32HelperPipe>(); }

}  // namespace lumar::app
