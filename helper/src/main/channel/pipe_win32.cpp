#include "main/channel/pipe.h"

#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <vector>

#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "main/platform/thread_guard.h"
#include "main/service/product.h"

namespace lumar {
namespace {

// Authenticated Users may read and write (0x12019b is generic read and write
// without FILE_CREATE_PIPE_INSTANCE): they may talk to the helper, but not
// add instances of their own that would answer its clients.
constexpr wchar_t kPipeSddl[] = L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;AU)";
constexpr DWORD kPipeBufferBytes = 65536;
// Replies being flushed at once, each on a thread of its own: as many as
// the server ever holds connections.
constexpr std::size_t kMaxFlushers = 64;
// Disconnected instances kept to serve again: making a new one costs more
// system calls than the rest of a ping.
constexpr std::size_t kIdleInstancesKept = 8;

// Rounded up, so that a wait never ends just before its deadline and spins.
DWORD milliseconds_until(Deadline deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<DWORD>(
      std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 0x7FFFFFFF));
}

class Win32Impersonation final : public Impersonation {
 public:
  bool revert() noexcept override { return ::RevertToSelf() != FALSE; }
};

// One overlapped operation on an instance; the completion port hands back its
// OVERLAPPED, and with it the instance.
struct Operation {
  enum class Kind { kConnect, kRead, kWrite, kFlush };
  OVERLAPPED overlapped{};
  Kind kind = Kind::kConnect;
  bool pending = false;
  struct Instance* owner = nullptr;
};

struct Flusher;

// One instance of the pipe and what is under way on it.
struct Instance final : PipeConnection {
  Instance(PipeInstanceId instance_id, UniqueFile handle, bool skips)
      : id(instance_id), pipe(std::move(handle)), skips_port_on_success(skips) {
    for (Operation* op : {&connect, &read, &write, &flush}) op->owner = this;
    read.kind = Operation::Kind::kRead;
    write.kind = Operation::Kind::kWrite;
    flush.kind = Operation::Kind::kFlush;
  }

  SystemResult<std::uint32_t> client_process_id() override {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe.get(), &pid)) {
      return Unexpected(static_cast<std::uint32_t>(::GetLastError()));
    }
    return static_cast<std::uint32_t>(pid);
  }

  std::unique_ptr<Impersonation> impersonate() override {
    // Allocated first: a failed allocation after the identity was taken
    // would leave this thread running as the client.
    auto impersonation = std::make_unique<Win32Impersonation>();
    if (!::ImpersonateNamedPipeClient(pipe.get())) return nullptr;
    return impersonation;
  }

  bool busy() const { return connect.pending || read.pending || write.pending || flush.pending; }

  const PipeInstanceId id;
  UniqueFile pipe;
  // A call that succeeds at once then reports nothing to the port.
  const bool skips_port_on_success;
  Operation connect, read, write, flush;
  std::array<std::uint8_t, kReadChunkBytes> buffer{};
  std::string reply;
  Flusher* flusher = nullptr;
  bool closing = false;
};

// FlushFileBuffers on a pipe waits until the client has read everything,
// with no time limit and no overlapped form, so each flush runs on a thread
// of its own and reports to the port when it ends; past the reply's deadline
// the client is disconnected, which ends the flush. The threads are kept and
// handed one reply at a time: a thread started per reply cost as much as a
// whole round trip under Wine.
struct Flusher {
  Flusher(HelperLog& helper_log, HANDLE completion_port) : log(helper_log), port(completion_port) {}
  ~Flusher() {
    if (!thread) return;
    stopping = true;
    ::SetEvent(work.get());
    ::WaitForSingleObject(thread.get(), INFINITE);
  }
  Flusher(const Flusher&) = delete;
  Flusher& operator=(const Flusher&) = delete;

  bool start() {
    if (!work) return false;
    thread.reset(::CreateThread(nullptr, 64 * 1024, &entry, this, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                nullptr));
    return thread.valid();
  }

  // A thread entry is called from C: nothing may leave it.
  static DWORD WINAPI entry(void* parameter) noexcept {
    auto& self = *static_cast<Flusher*>(parameter);
    for (;;) {
      ::WaitForSingleObject(self.work.get(), INFINITE);
      if (self.stopping) return 0;
      Instance* const job = self.job;
      guard_thread_body(self.log, "pipe", [&] { ::FlushFileBuffers(job->pipe.get()); });
      // The instance stays open until this arrives: it must arrive.
      while (!::PostQueuedCompletionStatus(self.port, 0, 0, &job->flush.overlapped)) ::Sleep(10);
    }
  }

  HelperLog& log;
  const HANDLE port;
  UniqueHandle work{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  UniqueHandle thread;
  // Handed over through the event and the port, which order the two
  // threads' accesses.
  Instance* job = nullptr;
  bool stopping = false;
  bool busy = false;
};

std::string code_error(const char* call, DWORD code) {
  return std::string(call) + " failed (" + std::to_string(code) + ")";
}

// Every instance is overlapped and reports to one completion port, so one
// thread waits on all of them at once.
class Win32PipeInstances final : public PipeInstances {
 public:
  // The descriptor and the name never change: they are made once.
  explicit Win32PipeInstances(HelperLog& log) : log_(log), name_(wide(kPipeName)) {
    // Without the descriptor the pipe gets the system's default security;
    // the instances are still created.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &sd,
                                                               nullptr)) {
      descriptor_.reset(sd);
    }
    attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor_.get(), FALSE};
  }
  ~Win32PipeInstances() override {
    for (auto& [id, instance] : instances_) ::DisconnectNamedPipe(instance->pipe.get());
    flushers_.clear();  // each ends its flush, then its thread
    for (auto& [id, instance] : instances_) instance->flusher = nullptr;
    for (auto& [id, instance] : instances_) ::CancelIoEx(instance->pipe.get(), nullptr);
    while (std::any_of(instances_.begin(), instances_.end(),
                       [](const auto& entry) { return entry.second->busy(); })) {
      if (!take_completions(INFINITE)) break;
    }
  }
  Win32PipeInstances(const Win32PipeInstances&) = delete;
  Win32PipeInstances& operator=(const Win32PipeInstances&) = delete;

  Result<PipeInstanceId> listen() override {
    if (!port_) {
      // Made once, and again at the next listen should it ever fail.
      port_.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
      if (!port_) return fail(code_error("CreateIoCompletionPort", ::GetLastError()));
    }
    if (!idle_.empty()) {
      Idle again = std::move(idle_.back());
      idle_.pop_back();
      return start_instance(std::move(again.pipe), again.skips);
    }
    // Nothing of ours holds the name: claim it as its first instance.
    const bool first = instances_.empty() && idle_.empty();
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
    if (!::CreateIoCompletionPort(pipe.get(), port_.get(), 0, 0)) {
      return fail(code_error("CreateIoCompletionPort", ::GetLastError()));
    }
    const bool skips = ::SetFileCompletionNotificationModes(
                           pipe.get(), FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != FALSE;
    return start_instance(std::move(pipe), skips);
  }

  void read(PipeInstanceId id) override {
    Instance* instance = find(id);
    if (instance == nullptr) return;
    DWORD got = 0;
    const BOOL done =
        ::ReadFile(instance->pipe.get(), instance->buffer.data(),
                   static_cast<DWORD>(instance->buffer.size()), &got, &instance->read.overlapped);
    if (started(*instance, instance->read, done)) return;
    received(*instance, done ? got : 0);
  }

  void reply(PipeInstanceId id, std::string bytes) override {
    Instance* instance = find(id);
    if (instance == nullptr) return;
    instance->reply = std::move(bytes);
    DWORD written = 0;
    const BOOL done = ::WriteFile(instance->pipe.get(), instance->reply.data(),
                                  static_cast<DWORD>(instance->reply.size()), &written,
                                  &instance->write.overlapped);
    if (started(*instance, instance->write, done)) return;
    // Written already, or the client is gone and there is nothing to flush.
    if (done) return start_flush(*instance);
    replied(*instance);
  }

  void close(PipeInstanceId id) override {
    Instance* instance = find(id);
    if (instance == nullptr) return;
    instance->closing = true;
    std::erase_if(ready_, [id](const PipeEvent& event) { return event.instance == id; });
    // Disconnecting ends a read, a write or a flush under way (a flush that
    // has not begun yet too); the rest is cancelled.
    ::DisconnectNamedPipe(instance->pipe.get());
    if (instance->flusher != nullptr) ::CancelSynchronousIo(instance->flusher->thread.get());
    if (instance->busy()) ::CancelIoEx(instance->pipe.get(), nullptr);
    release_if_idle(*instance);
  }

  std::optional<PipeEvent> wait(Deadline until) override {
    while (ready_.empty()) {
      if (!port_) {
        ::Sleep(milliseconds_until(until));
        return std::nullopt;
      }
      if (!take_completions(milliseconds_until(until))) return std::nullopt;
    }
    return take_ready();
  }

  std::optional<PipeEvent> take_ready() override {
    if (ready_.empty()) return std::nullopt;
    PipeEvent next = std::move(ready_.front());
    ready_.pop_front();
    return next;
  }

  PipeConnection& connection(PipeInstanceId id) override { return *instances_.at(id); }

 private:
  PipeInstanceId start_instance(UniqueFile pipe, bool skips) {
    const PipeInstanceId id = ++last_id_;
    Instance& instance =
        *instances_.emplace(id, std::make_unique<Instance>(id, std::move(pipe), skips))
             .first->second;
    start_connect(instance);
    return id;
  }

  Instance* find(PipeInstanceId id) {
    const auto found = instances_.find(id);
    if (found == instances_.end() || found->second->closing) return nullptr;
    return found->second.get();
  }

  // After an overlapped call: true when its end will come through the port.
  static bool started(Instance& instance, Operation& op, BOOL done) {
    if (done ? !instance.skips_port_on_success : ::GetLastError() == ERROR_IO_PENDING) {
      op.pending = true;
      return true;
    }
    return false;
  }

  // ConnectNamedPipe. A client that came while the instance was being made
  // (535) is connected; so is one that came and went already (232): it is
  // served like a client that closes at once, its reply going into the void.
  void start_connect(Instance& instance) {
    const BOOL done = ::ConnectNamedPipe(instance.pipe.get(), &instance.connect.overlapped);
    if (started(instance, instance.connect, done)) return;
    const DWORD code = done ? ERROR_SUCCESS : ::GetLastError();
    connected(instance,
              code == ERROR_SUCCESS || code == ERROR_PIPE_CONNECTED || code == ERROR_NO_DATA
                  ? ERROR_SUCCESS
                  : code);
  }

  void connected(Instance& instance, DWORD code) {
    PipeEvent event{.instance = instance.id};
    if (code == ERROR_SUCCESS) {
      event.kind = PipeEvent::Kind::kConnected;
    } else {
      event.kind = PipeEvent::Kind::kConnectFailed;
      event.code = static_cast<std::uint32_t>(code);
    }
    ready_.push_back(std::move(event));
  }

  // 0 bytes: the client closed its end, or the read failed.
  void received(Instance& instance, DWORD got) {
    PipeEvent event{.kind = PipeEvent::Kind::kReceived, .instance = instance.id};
    event.bytes.assign(instance.buffer.begin(), instance.buffer.begin() + got);
    ready_.push_back(std::move(event));
  }

  void replied(Instance& instance) {
    ready_.push_back({.kind = PipeEvent::Kind::kReplied, .instance = instance.id});
  }

  // Without a flush thread (none free and none could be started) the reply
  // goes unflushed.
  void start_flush(Instance& instance) {
    Flusher* flusher = idle_flusher();
    if (flusher == nullptr) return replied(instance);
    flusher->busy = true;
    flusher->job = &instance;
    instance.flusher = flusher;
    instance.flush.pending = true;
    ::SetEvent(flusher->work.get());
  }

  Flusher* idle_flusher() {
    for (const auto& flusher : flushers_) {
      if (!flusher->busy) return flusher.get();
    }
    if (flushers_.size() >= kMaxFlushers) return nullptr;
    auto made = std::make_unique<Flusher>(log_, port_.get());
    if (!made->start()) return nullptr;
    flushers_.push_back(std::move(made));
    return flushers_.back().get();
  }

  // Takes what has finished from the port, several at a time, and turns
  // each into an event if it makes one. False when nothing came in time.
  bool take_completions(DWORD wait_ms) {
    std::array<OVERLAPPED_ENTRY, 16> entries{};
    ULONG count = 0;
    if (!::GetQueuedCompletionStatusEx(port_.get(), entries.data(),
                                       static_cast<ULONG>(entries.size()), &count, wait_ms,
                                       FALSE)) {
      return false;
    }
    for (ULONG i = 0; i < count; ++i) {
      const OVERLAPPED_ENTRY& entry = entries[i];
      if (entry.lpOverlapped == nullptr) continue;
      // The operation's own status, as GetOverlappedResult reads it.
      DWORD transferred = 0;
      Operation& op = *CONTAINING_RECORD(entry.lpOverlapped, Operation, overlapped);
      const bool ok = op.kind == Operation::Kind::kFlush ||
                      ::GetOverlappedResult(op.owner->pipe.get(), entry.lpOverlapped, &transferred,
                                            FALSE) != FALSE;
      finished(op, ok, ok ? ERROR_SUCCESS : ::GetLastError(), transferred);
    }
    return true;
  }

  void finished(Operation& op, bool ok, DWORD code, DWORD transferred) {
    Instance& instance = *op.owner;
    op.pending = false;
    if (op.kind == Operation::Kind::kFlush && instance.flusher != nullptr) {
      instance.flusher->busy = false;
      instance.flusher = nullptr;
    }
    if (instance.closing) return release_if_idle(instance);
    switch (op.kind) {
      case Operation::Kind::kConnect:
        connected(instance, code == ERROR_NO_DATA ? ERROR_SUCCESS : code);
        break;
      case Operation::Kind::kRead:
        received(instance, ok ? transferred : 0);
        break;
      case Operation::Kind::kWrite:
        if (ok) {
          start_flush(instance);
        } else {
          replied(instance);
        }
        break;
      case Operation::Kind::kFlush:
        replied(instance);
        break;
    }
  }

  // A closed instance is let go once nothing under way can still touch it;
  // its handle, disconnected, may be kept to serve again.
  void release_if_idle(Instance& instance) {
    if (instance.busy()) return;
    if (idle_.size() < kIdleInstancesKept) {
      idle_.push_back({std::move(instance.pipe), instance.skips_port_on_success});
    }
    instances_.erase(instance.id);
  }

  HelperLog& log_;
  const std::wstring name_;
  UniqueLocal descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
  UniqueHandle port_;
  PipeInstanceId last_id_ = 0;
  // Every instance that holds the name, closing ones included until their
  // handle is closed, and the disconnected ones kept.
  std::map<PipeInstanceId, std::unique_ptr<Instance>> instances_;
  struct Idle {
    UniqueFile pipe;
    bool skips = false;
  };
  std::vector<Idle> idle_;
  std::vector<std::unique_ptr<Flusher>> flushers_;
  std::deque<PipeEvent> ready_;
};

}  // namespace

std::unique_ptr<PipeInstances> make_win32_pipe_instances(HelperLog& log) {
  return std::make_unique<Win32PipeInstances>(log);
}

}  // namespace lumar
