#include "main/pipe.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/product.h"
#include "main/thread_boundary.h"

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
// deadline and cancelled past it. The event is the listener's: one client is
// served at a time, so one event serves them all.
class OverlappedIo {
 public:
  explicit OverlappedIo(HANDLE event) : event_(event) {}

  // Runs `start` (a ReadFile/WriteFile/ConnectNamedPipe call on `ov`), then
  // waits for it. Returns the bytes transferred, or nothing on failure,
  // cancellation or time-out; `error` gets the failure's code.
  template <class Start>
  std::optional<DWORD> run(HANDLE file, Start start, DWORD wait_ms, DWORD* error) {
    OVERLAPPED ov{};
    ov.hEvent = event_;
    ::ResetEvent(event_);
    DWORD transferred = 0;
    if (start(&ov, &transferred)) return transferred;
    DWORD code = ::GetLastError();
    if (code != ERROR_IO_PENDING) {
      *error = code;
      return std::nullopt;
    }
    if (::WaitForSingleObject(event_, wait_ms) != WAIT_OBJECT_0) {
      ::CancelIoEx(file, &ov);
    }
    // Wait for the (possibly cancelled) operation to finish: the OVERLAPPED
    // lives on this stack frame.
    if (::GetOverlappedResult(file, &ov, &transferred, TRUE)) return transferred;
    *error = ::GetLastError();
    return std::nullopt;
  }

 private:
  HANDLE event_;
};

// FlushFileBuffers on a pipe waits until the client has read everything,
// with no time limit of its own, so it runs on a thread of its own: past the
// deadline the client is disconnected, which ends the flush. That thread
// lives as long as the listener and is handed one reply at a time; a thread
// started per reply cost as much as a whole round trip under Wine.
class ReplyFlusher {
 public:
  explicit ReplyFlusher(HelperLog& log) : log_(log) {}
  ~ReplyFlusher() {
    if (!thread_) return;
    stopping_ = true;
    ::SetEvent(work_.get());
    ::WaitForSingleObject(thread_.get(), INFINITE);
  }
  ReplyFlusher(const ReplyFlusher&) = delete;
  ReplyFlusher& operator=(const ReplyFlusher&) = delete;

  // Waits until the client has read what was written to `pipe`, or until
  // the deadline, when it is disconnected. Without a flush thread (none
  // could be started) the reply goes unflushed.
  void flush_until(HANDLE pipe, Deadline deadline) {
    if (!started()) return;
    pipe_ = pipe;
    ::SetEvent(work_.get());
    if (::WaitForSingleObject(done_.get(), milliseconds_until(deadline)) == WAIT_OBJECT_0) return;
    ::CancelSynchronousIo(thread_.get());
    ::DisconnectNamedPipe(pipe);  // also ends a flush that had not begun yet
    ::WaitForSingleObject(done_.get(), INFINITE);
  }

 private:
  // Started on first use, and tried again at the next reply if it failed.
  bool started() {
    if (thread_) return true;
    if (!work_ || !done_) return false;
    thread_.reset(::CreateThread(nullptr, 64 * 1024, &entry, this,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    return thread_.valid();
  }

  // A thread entry is called from C: nothing may leave it.
  static DWORD WINAPI entry(void* parameter) noexcept {
    auto& self = *static_cast<ReplyFlusher*>(parameter);
    for (;;) {
      ::WaitForSingleObject(self.work_.get(), INFINITE);
      if (self.stopping_) return 0;
      guard_thread_body(self.log_, "pipe", [&] { ::FlushFileBuffers(self.pipe_); });
      ::SetEvent(self.done_.get());
    }
  }

  HelperLog& log_;
  UniqueHandle work_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueHandle done_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  // Handed over through the events, which order the two threads' accesses.
  HANDLE pipe_ = nullptr;
  bool stopping_ = false;
  UniqueHandle thread_;
};

class Win32Impersonation final : public Impersonation {
 public:
  bool revert() noexcept override { return ::RevertToSelf() != FALSE; }
};

class Win32PipeConnection final : public PipeConnection {
 public:
  Win32PipeConnection(UniqueFile pipe, HANDLE io_event, ReplyFlusher& flusher)
      : pipe_(std::move(pipe)), io_(io_event), flusher_(flusher) {}
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
    if (written) flusher_.flush_until(pipe_.get(), deadline);
  }

  SystemResult<std::uint32_t> client_process_id() override {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe_.get(), &pid)) {
      return Unexpected(static_cast<std::uint32_t>(::GetLastError()));
    }
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
  UniqueFile pipe_;
  OverlappedIo io_;
  ReplyFlusher& flusher_;
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
  explicit Win32PipeListener(HelperLog& log) : name_(wide(kPipeName)), flusher_(log) {
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
    if (!io_event_) {
      // Made once, and again at the next accept should it ever fail.
      io_event_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
      if (!io_event_)
        return fail("ConnectNamedPipe failed (" + std::to_string(::GetLastError()) + ")");
    }
    if (!waiting_) {
      // Nothing of ours holds the name: claim it as its first instance.
      Result<UniqueFile> first = create_instance(true);
      if (!first) return fail(first.error());
      waiting_ = std::move(*first);
    }

    OverlappedIo io(io_event_.get());
    DWORD error = 0;
    const HANDLE pipe = waiting_.get();
    const auto connect = [pipe](OVERLAPPED* ov, DWORD*) { return connect_client(pipe, ov); };
    const bool connected = io.run(pipe, connect, INFINITE, &error).has_value();
    if (!connected) {
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
        std::make_unique<Win32PipeConnection>(std::move(served), io_event_.get(), flusher_));
  }

 private:
  Result<UniqueFile> create_instance(bool first) {
    UniqueFile pipe(::CreateNamedPipeW(
        name_.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
        descriptor_ ? &attributes_ : nullptr));
    if (!pipe) {
      const DWORD code = ::GetLastError();
      // A first instance is refused with access denied when the name exists,
      // and with pipe busy when its holder allows no further instance.
      const bool name_taken = first && (code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY);
      return fail(pipe_creation_error(code, name_taken));
    }
    return pipe;
  }

  const std::wstring name_;
  UniqueLocal descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
  // Manual-reset, for every overlapped call on every instance in turn.
  UniqueHandle io_event_;
  ReplyFlusher flusher_;
  // The instance that waits for the next client; it holds the name.
  UniqueFile waiting_;
};

}  // namespace

std::unique_ptr<PipeListener> make_win32_pipe_listener(HelperLog& log) {
  return std::make_unique<Win32PipeListener>(log);
}

}  // namespace lumar
