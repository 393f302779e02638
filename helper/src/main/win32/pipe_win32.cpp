#include "main/win32/pipe_win32.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>

#include "main/product.h"
#include "main/win32/win32_handle.h"
#include "main/win32/win32_text.h"

namespace lumar {
namespace {

constexpr wchar_t kPipeSddl[] = L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;GRGW;;;AU)";
constexpr DWORD kPipeBufferBytes = 65536;

DWORD milliseconds_until(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<DWORD>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Overlapped I/O on one pipe instance, each operation waited for until a
// deadline and cancelled past it.
class OverlappedIo {
 public:
  OverlappedIo() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  bool ready() const { return event_.valid(); }

  // Runs `start` (a ReadFile/WriteFile/ConnectNamedPipe call on `ov`), then
  // waits for it. Returns the bytes transferred, or nothing on failure,
  // cancellation or time-out; `error` gets the failure's code.
  template <class Start>
  std::optional<DWORD> run(HANDLE file, Start start, DWORD wait_ms, DWORD* error) {
    OVERLAPPED ov{};
    ov.hEvent = event_.get();
    ::ResetEvent(event_.get());
    DWORD transferred = 0;
    if (start(&ov, &transferred)) return transferred;
    DWORD code = ::GetLastError();
    if (code != ERROR_IO_PENDING) {
      *error = code;
      return std::nullopt;
    }
    if (::WaitForSingleObject(event_.get(), wait_ms) != WAIT_OBJECT_0) {
      ::CancelIoEx(file, &ov);
    }
    // Wait for the (possibly cancelled) operation to finish: the OVERLAPPED
    // lives on this stack frame.
    if (::GetOverlappedResult(file, &ov, &transferred, TRUE)) return transferred;
    *error = ::GetLastError();
    return std::nullopt;
  }

 private:
  UniqueHandle event_;
};

class Win32Impersonation final : public Impersonation {
 public:
  bool revert() noexcept override { return ::RevertToSelf() != FALSE; }
};

class Win32PipeConnection final : public PipeConnection {
 public:
  explicit Win32PipeConnection(UniqueFile pipe) : pipe_(std::move(pipe)) {}
  ~Win32PipeConnection() override { ::DisconnectNamedPipe(pipe_.get()); }

  std::size_t read(std::span<std::uint8_t> buffer, Deadline deadline) override {
    DWORD error = 0;
    const std::optional<DWORD> got = io_.run(
        pipe_.get(),
        [&](OVERLAPPED* ov, DWORD* n) {
          return ::ReadFile(pipe_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), n, ov);
        },
        milliseconds_until(deadline), &error);
    return got.value_or(0);
  }

  void send(std::string_view bytes, Deadline deadline) override {
    DWORD error = 0;
    const std::optional<DWORD> written = io_.run(
        pipe_.get(),
        [&](OVERLAPPED* ov, DWORD* n) {
          return ::WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), n, ov);
        },
        milliseconds_until(deadline), &error);
    if (written) flush_until(deadline);
  }

  std::optional<std::uint32_t> client_process_id() override {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe_.get(), &pid)) return std::nullopt;
    return static_cast<std::uint32_t>(pid);
  }

  std::unique_ptr<Impersonation> impersonate() override {
    // Allocated first: a failed allocation after the identity was taken
    // would leave this thread running as the client.
    auto impersonation = std::make_unique<Win32Impersonation>();
    if (!::ImpersonateNamedPipeClient(pipe_.get())) return nullptr;
    return impersonation;
  }

 private:
  // FlushFileBuffers waits until the client has read everything, with no
  // time limit of its own. It runs on a short-lived thread; past the
  // deadline the client is disconnected, which ends the flush.
  void flush_until(Deadline deadline) {
    UniqueHandle flusher(::CreateThread(
        nullptr, 64 * 1024,
        [](void* pipe) -> DWORD { return ::FlushFileBuffers(static_cast<HANDLE>(pipe)); },
        pipe_.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!flusher) return;
    if (::WaitForSingleObject(flusher.get(), milliseconds_until(deadline)) == WAIT_OBJECT_0) return;
    ::CancelSynchronousIo(flusher.get());
    ::DisconnectNamedPipe(pipe_.get());
    ::WaitForSingleObject(flusher.get(), INFINITE);
  }

  UniqueFile pipe_;
  OverlappedIo io_;
};

class Win32PipeListener final : public PipeListener {
 public:
  Result<std::unique_ptr<PipeConnection>> accept() override {
    UniqueFile pipe = create_instance();
    if (!pipe) return fail("CreateNamedPipeW failed (" + std::to_string(::GetLastError()) + ")");

    OverlappedIo io;
    DWORD error = 0;
    const bool connected =
        io.ready() &&
        io.run(
              pipe.get(),
              [&](OVERLAPPED* ov, DWORD*) {
                if (::ConnectNamedPipe(pipe.get(), ov)) return TRUE;
                // The client came between creation and this call.
                if (::GetLastError() == ERROR_PIPE_CONNECTED) return TRUE;
                return FALSE;
              },
              INFINITE, &error)
            .has_value();
    if (!connected) {
      if (!io.ready()) error = ::GetLastError();
      return fail("ConnectNamedPipe failed (" + std::to_string(error) + ")");
    }
    return std::unique_ptr<PipeConnection>(std::make_unique<Win32PipeConnection>(std::move(pipe)));
  }

 private:
  static UniqueFile create_instance() {
    // Without the descriptor the pipe gets the system's default security;
    // the instance is still created.
    UniqueLocal descriptor;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &sd,
                                                               nullptr)) {
      descriptor.reset(sd);
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
    const std::wstring name = wide(kPipeName);
    return UniqueFile(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
        descriptor ? &attributes : nullptr));
  }
};

}  // namespace

std::unique_ptr<PipeListener> make_win32_pipe_listener() {
  return std::make_unique<Win32PipeListener>();
}

}  // namespace lumar
