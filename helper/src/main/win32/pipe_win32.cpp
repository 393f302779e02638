#include "main/win32/pipe_win32.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>

#include "main/product.h"
#include "main/thread_boundary.h"
#include "main/win32/win32_handle.h"
#include "main/win32/win32_text.h"

namespace lumar {
namespace {

// Authenticated Users may read and write (0x12019b is generic read and write
// without FILE_CREATE_PIPE_INSTANCE): they may talk to the helper, but not
// add instances of their own that would answer its clients.
constexpr wchar_t kPipeSddl[] = L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;AU)";
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
  Win32PipeConnection(UniqueFile pipe, HelperLog& log) : pipe_(std::move(pipe)), log_(log) {}
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
  struct FlushWork {
    HANDLE pipe;
    HelperLog* log;
  };

  // A thread entry is called from C: nothing may leave it.
  static DWORD WINAPI flush_entry(void* parameter) noexcept {
    const FlushWork& work = *static_cast<const FlushWork*>(parameter);
    guard_thread_body(*work.log, "pipe", [&] { ::FlushFileBuffers(work.pipe); });
    return 0;
  }

  // FlushFileBuffers waits until the client has read everything, with no
  // time limit of its own. It runs on a short-lived thread; past the
  // deadline the client is disconnected, which ends the flush. The thread is
  // always waited for to its end, so `work` outlives it.
  void flush_until(Deadline deadline) {
    FlushWork work{pipe_.get(), &log_};
    UniqueHandle flusher(::CreateThread(nullptr, 64 * 1024, &flush_entry, &work,
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!flusher) return;
    if (::WaitForSingleObject(flusher.get(), milliseconds_until(deadline)) == WAIT_OBJECT_0) return;
    ::CancelSynchronousIo(flusher.get());
    ::DisconnectNamedPipe(pipe_.get());
    ::WaitForSingleObject(flusher.get(), INFINITE);
  }

  UniqueFile pipe_;
  HelperLog& log_;
  OverlappedIo io_;
};

// ConnectNamedPipe. A client that came while the instance waited for its
// turn (535) is connected; so is one that came and went already (232): it is
// served like a client that closes at once, its reply going into the void.
BOOL connect_client(HANDLE pipe, OVERLAPPED* ov) {
  if (::ConnectNamedPipe(pipe, ov)) return TRUE;
  const DWORD code = ::GetLastError();
  return code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA ? TRUE : FALSE;
}

class Win32PipeListener final : public PipeListener {
 public:
  // The descriptor and the name never change: they are made once.
  explicit Win32PipeListener(HelperLog& log) : log_(log), name_(wide(kPipeName)) {
    // Without the descriptor the pipe gets the system's default security;
    // the instances are still created.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &sd,
                                                               nullptr)) {
      descriptor_.reset(sd);
    }
    attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor_.get(), FALSE};
  }

  Result<std::unique_ptr<PipeConnection>> accept() override {
    if (!waiting_) {
      // Nothing of ours holds the name: claim it as its first instance.
      Result<UniqueFile> first = create_instance(true);
      if (!first) return fail(first.error());
      waiting_ = std::move(*first);
    }

    OverlappedIo io;
    DWORD error = 0;
    const HANDLE pipe = waiting_.get();
    const auto connect = [pipe](OVERLAPPED* ov, DWORD*) { return connect_client(pipe, ov); };
    const bool connected = io.ready() && io.run(pipe, connect, INFINITE, &error).has_value();
    if (!connected) {
      if (!io.ready()) error = ::GetLastError();
      // The failed instance is closed only once its successor exists.
      UniqueFile failed = std::move(waiting_);
      if (Result<UniqueFile> next = create_instance(false)) waiting_ = std::move(*next);
      return fail("ConnectNamedPipe failed (" + std::to_string(error) + ")");
    }
    UniqueFile served = std::move(waiting_);
    // The next instance waits before this one can close. Should it fail, the
    // next accept claims the name afresh and reports why.
    if (Result<UniqueFile> next = create_instance(false)) waiting_ = std::move(*next);
    return std::unique_ptr<PipeConnection>(
        std::make_unique<Win32PipeConnection>(std::move(served), log_));
  }

 private:
  Result<UniqueFile> create_instance(bool first) {
    UniqueFile pipe(::CreateNamedPipeW(
        name_.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
        descriptor_ ? &attributes_ : nullptr));
    if (!pipe) return fail(pipe_creation_error(::GetLastError(), first));
    return pipe;
  }

  HelperLog& log_;
  const std::wstring name_;
  UniqueLocal descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
  // The instance that waits for the next client; it holds the name.
  UniqueFile waiting_;
};

}  // namespace

std::unique_ptr<PipeListener> make_win32_pipe_listener(HelperLog& log) {
  return std::make_unique<Win32PipeListener>(log);
}

}  // namespace lumar
