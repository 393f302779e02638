// Round trips per second through the helper's pipe, against a bare serial
// echo server of the same pipe shape, under Wine. Both run as processes of
// their own; the client times `trips` ping round trips against one, then the
// other, round after round, so both see the same machine at the same time.
//
//   pipe_bench <lumar-helper.exe> <rounds> <trips>
//   pipe_bench --hostile <lumar-helper.exe> <pings>
//   pipe_bench --echo-server <pipe name>       (started by the benchmark)
//   pipe_bench --staller <connections>         (started by the hostile mode)
//
// The hostile mode times single pings (connect included) while other
// processes hold stalled connections to the helper, renewing each as soon as
// it is dropped, and sets their rate against the bare server's with no
// stallers.
//
// Prints one "key value" line per figure for bench/pipe-bench.sh.
#include <windows.h>

#include <psapi.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "main/base/unique_any_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kHelperPipe[] = L"\\\\.\\pipe\\lumar_helper";
constexpr wchar_t kEchoPipe[] = L"\\\\.\\pipe\\lumar_pipe_bench_echo";
constexpr std::string_view kPing = "{\"op\":\"ping\"}\n";
constexpr std::string_view kReply = "{\"ok\":true}\n";

// The bare baseline: the helper's pipe parameters and security, one client
// at a time, blocking calls, the descriptor converted once. It reads up to
// the line feed, answers, flushes, disconnects and closes, for ever.
int run_echo_server(const wchar_t* name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ::ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;AU)", SDDL_REVISION_1, &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  for (;;) {
    lumar::UniqueFile pipe(::CreateNamedPipeW(
        name, PIPE_ACCESS_DUPLEX,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, &attributes));
    if (!pipe) return 1;
    if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
      continue;
    }
    char buffer[1024];
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
      if (std::string_view(buffer, got).find('\n') != std::string_view::npos) break;
    }
    DWORD written = 0;
    ::WriteFile(pipe.get(), kReply.data(), static_cast<DWORD>(kReply.size()), &written, nullptr);
    ::FlushFileBuffers(pipe.get());
    ::DisconnectNamedPipe(pipe.get());
  }
}

// One exchange: connect (waiting while the serial server is busy or between
// instances), send `request` as given, read the reply line. Empty when no
// reply came; an empty request is a client that leaves at once.
std::string exchange(const wchar_t* name, std::string_view request,
                     std::chrono::seconds within = std::chrono::seconds(10)) {
  const auto give_up = Clock::now() + within;
  lumar::UniqueFile pipe;
  while (!pipe) {
    pipe.reset(
        ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe) break;
    if (Clock::now() > give_up) return {};
    // Busy: wait for the instance. Anything else (no instance between two of
    // the echo server's) is retried at once, as a sleep would be measured.
    if (::GetLastError() == ERROR_PIPE_BUSY) ::WaitNamedPipeW(name, 1000);
  }
  DWORD written = 0;
  if (!request.empty()) {
    ::WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
  }
  std::string reply;
  char buffer[256];
  while (!request.empty() && reply.find('\n') == std::string::npos) {
    DWORD got = 0;
    if (!::ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    reply.append(buffer, got);
  }
  return reply;
}

// One ping. False when the right reply did not come.
bool round_trip(const wchar_t* name) { return exchange(name, kPing) == kReply; }

// The process's entries in the system handle table: Wine answers 0 to
// GetProcessHandleCount, but its table is real.
std::size_t handle_count(DWORD pid) {
  struct Entry {
    USHORT process_id;
    USHORT creator_back_trace_index;
    UCHAR object_type_index;
    UCHAR handle_attributes;
    USHORT handle_value;
    PVOID object;
    ULONG granted_access;
  };
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status =
        ::NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(16), buffer.data(),
                                   static_cast<ULONG>(buffer.size()), &needed);
    if (status == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
      buffer.resize(std::max<std::size_t>(needed, buffer.size() * 2));
      continue;
    }
    if (status < 0) return 0;
    break;
  }
  const ULONG total = *reinterpret_cast<const ULONG*>(buffer.data());
  const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
  std::size_t count = 0;
  for (ULONG i = 0; i < total; ++i) count += entries[i].process_id == (pid & 0xFFFF);
  return count;
}

std::size_t working_set(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::K32GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize;
}

// 10 000 requests of every kind the helper refuses or answers without
// installing anything, and a client that leaves at once: the helper's
// handles and resident memory must come back to where they were.
bool mixed_requests(HANDLE helper) {
  const std::string missing =
      "{\"op\":\"install_update\",\"path\":\"C:\\\\no\\\\such.msi\","
      "\"signature\":\"x\"}\n";
  const std::string requests[] = {std::string(kPing), "{\"op\":\"ping\"\n", missing,
                                  "{\"op\":\"kill\",\"pid\":0}\n", ""};
  // A first pass lets every lazily made thing be made.
  for (const std::string& request : requests) exchange(kHelperPipe, request);
  const std::size_t handles_before = handle_count(::GetProcessId(helper));
  const std::size_t memory_before = working_set(helper);
  for (int i = 0; i < 10000; ++i) {
    const std::string& request = requests[i % std::size(requests)];
    if (exchange(kHelperPipe, request).empty() && !request.empty()) {
      std::fprintf(stderr, "pipe_bench: no reply to request %d\n", i);
      return false;
    }
  }
  ::Sleep(500);  // the last client's instance is closed after its reply
  std::printf("mixed_handles_before %zu\nmixed_handles_after %zu\n", handles_before,
              handle_count(::GetProcessId(helper)));
  std::printf("mixed_working_set_before %zu\nmixed_working_set_after %zu\n", memory_before,
              working_set(helper));
  return true;
}

// Round trips per second over `trips` pings; 0 if one failed.
double trips_per_second(const wchar_t* name, int trips) {
  const auto start = Clock::now();
  for (int i = 0; i < trips; ++i) {
    if (!round_trip(name)) return 0;
  }
  const std::chrono::duration<double> took = Clock::now() - start;
  return trips / took.count();
}

bool wait_until_serving(const wchar_t* name, HANDLE server) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline && ::WaitForSingleObject(server, 0) == WAIT_TIMEOUT) {
    if (round_trip(name)) return true;
    ::Sleep(100);
  }
  return false;
}

// One stalled connection, for ever: connect as soon as possible, send half
// a request, and wait for the server to drop it (or answer it), then again.
DWORD WINAPI stall_forever(void*) {
  for (;;) {
    lumar::UniqueFile pipe(::CreateFileW(kHelperPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    if (!pipe) {
      if (::GetLastError() == ERROR_PIPE_BUSY) {
        ::WaitNamedPipeW(kHelperPipe, 1000);
      } else {
        ::Sleep(1);  // no instance at all for the moment
      }
      continue;
    }
    DWORD written = 0;
    ::WriteFile(pipe.get(), "{\"op\":", 6, &written, nullptr);
    char buffer[256];
    DWORD got = 0;
    while (::ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
  }
}

int run_staller(int connections) {
  for (int i = 0; i < connections; ++i) {
    ::CreateThread(nullptr, 64 * 1024, &stall_forever, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                   nullptr);
  }
  ::Sleep(INFINITE);
  return 0;
}

// `pings` single pings, one after another, each given 20 s, all of them 45 s:
// the median and worst latency, how many were answered, and their rate.
void time_pings(const char* label, int pings) {
  std::vector<double> latencies;
  int answered = 0;
  const auto start = Clock::now();
  const auto budget = start + std::chrono::seconds(45);
  int tried = 0;
  for (; tried < pings && Clock::now() < budget; ++tried) {
    const auto sent = Clock::now();
    const bool ok = exchange(kHelperPipe, kPing, std::chrono::seconds(20)) == kReply;
    const std::chrono::duration<double, std::milli> took = Clock::now() - sent;
    latencies.push_back(took.count());
    answered += ok;
  }
  const std::chrono::duration<double> all = Clock::now() - start;
  std::printf("hostile %s tried %d answered %d median_ms %.1f worst_ms %.1f per_second %.1f\n",
              label, tried, answered, lumar::bench::median(latencies),
              *std::max_element(latencies.begin(), latencies.end()), answered / all.count());
  std::fflush(stdout);
}

int run_hostile(const wchar_t* helper_exe, int pings) {
  wchar_t self[MAX_PATH + 1];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  const std::wstring program_data = lumar::bench::make_program_data(L"pipe-hostile");
  ::SetEnvironmentVariableW(L"ProgramData", program_data.c_str());
  lumar::UniqueHandle echo =
      lumar::bench::start_child(L"\"" + std::wstring(self) + L"\" --echo-server " + kEchoPipe);
  lumar::UniqueHandle helper =
      lumar::bench::start_child(L"\"" + std::wstring(helper_exe) + L"\" run");
  int status = 0;
  if (!echo || !helper || !wait_until_serving(kEchoPipe, echo.get()) ||
      !wait_until_serving(kHelperPipe, helper.get())) {
    std::fprintf(stderr, "pipe_bench: the servers did not start\n");
    status = 1;
  }
  if (status == 0) {
    std::printf("hostile_bare_per_second %.1f\n", trips_per_second(kEchoPipe, 1000));
    time_pings("none", pings);
    const struct {
      const char* label;
      int processes, each;
    } cases[] = {{"16x1", 1, 16}, {"64x1", 1, 64}, {"16x8", 8, 2}, {"64x8", 8, 8}};
    for (const auto& c : cases) {
      std::vector<lumar::UniqueHandle> stallers;
      for (int i = 0; i < c.processes; ++i) {
        stallers.push_back(lumar::bench::start_child(L"\"" + std::wstring(self) + L"\" --staller " +
                                                     std::to_wstring(c.each)));
      }
      ::Sleep(2000);  // the stallers take what they can
      time_pings(c.label, pings);
      for (const lumar::UniqueHandle& staller : stallers) lumar::bench::end_child(staller);
      ::Sleep(500);
    }
  }
  lumar::bench::end_child(echo);
  lumar::bench::end_child(helper);
  lumar::bench::remove_program_data(program_data);
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring_view(argv[1]) == L"--echo-server") return run_echo_server(argv[2]);
  if (argc == 3 && std::wstring_view(argv[1]) == L"--staller") return run_staller(_wtoi(argv[2]));
  if (argc == 4 && std::wstring_view(argv[1]) == L"--hostile") {
    return run_hostile(argv[2], _wtoi(argv[3]));
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: pipe_bench <lumar-helper.exe> <rounds> <trips>\n");
    return 2;
  }
  const int rounds = _wtoi(argv[2]);
  const int trips = _wtoi(argv[3]);
  if (rounds < 1 || trips < 1) return 2;

  wchar_t self[MAX_PATH + 1];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  const std::wstring program_data = lumar::bench::make_program_data(L"pipe-bench");
  ::SetEnvironmentVariableW(L"ProgramData", program_data.c_str());
  lumar::UniqueHandle echo =
      lumar::bench::start_child(L"\"" + std::wstring(self) + L"\" --echo-server " + kEchoPipe);
  lumar::UniqueHandle helper = lumar::bench::start_child(L"\"" + std::wstring(argv[1]) + L"\" run");

  int status = 0;
  if (!echo || !helper || !wait_until_serving(kEchoPipe, echo.get()) ||
      !wait_until_serving(kHelperPipe, helper.get())) {
    std::fprintf(stderr, "pipe_bench: the servers did not start\n");
    status = 1;
  }
  std::vector<double> ratios;
  std::vector<double> bare_rates;
  std::vector<double> helper_rates;
  for (int round = 1; round <= rounds && status == 0; ++round) {
    // Alternate which goes first, so neither always runs on a warmer machine.
    const bool bare_first = round % 2 == 1;
    double bare = 0;
    double served = 0;
    if (bare_first) bare = trips_per_second(kEchoPipe, trips);
    served = trips_per_second(kHelperPipe, trips);
    if (!bare_first) bare = trips_per_second(kEchoPipe, trips);
    if (bare == 0 || served == 0) {
      std::fprintf(stderr, "pipe_bench: a round trip failed in round %d\n", round);
      status = 1;
      break;
    }
    std::printf("round %d bare %.0f helper %.0f ratio %.3f\n", round, bare, served, served / bare);
    std::fflush(stdout);
    bare_rates.push_back(bare);
    helper_rates.push_back(served);
    ratios.push_back(served / bare);
  }
  if (status == 0 && !mixed_requests(helper.get())) status = 1;
  if (status == 0) {
    std::printf("median_bare_per_second %.0f\n", lumar::bench::median(bare_rates));
    std::printf("median_helper_per_second %.0f\n", lumar::bench::median(helper_rates));
    std::printf("median_ratio %.3f\n", lumar::bench::median(ratios));
  }
  lumar::bench::end_child(echo);
  lumar::bench::end_child(helper);
  lumar::bench::remove_program_data(program_data);
  return status;
}
