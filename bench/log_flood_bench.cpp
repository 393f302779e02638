// A flood of refused requests against the helper's log, under Wine: for a
// fixed time, client threads send "install_update" requests that the helper
// refuses (a package with no valid signature), while another thread pings.
// Reports what the flood asked for, what reached the log and how ping fared,
// with the log an unbounded writer would have grown as the baseline.
//
//   log_flood_bench <lumar-helper.exe> <seconds> <flood threads>
//
// Prints one "key value" line per figure for bench/log-flood-bench.sh.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "main/base/unique_any_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kHelperPipe[] = L"\\\\.\\pipe\\lumar_helper";
constexpr std::string_view kPing = "{\"op\":\"ping\"}\n";
constexpr std::string_view kPong = "{\"ok\":true}\n";

// One exchange: connect (waiting while the pipe is busy), send, read the
// reply line. Empty when no reply came within ten seconds.
std::string exchange(std::string_view request) {
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  lumar::UniqueFile pipe;
  while (!pipe) {
    pipe.reset(::CreateFileW(kHelperPipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr));
    if (pipe) break;
    if (Clock::now() > give_up) return {};
    if (::GetLastError() == ERROR_PIPE_BUSY) ::WaitNamedPipeW(kHelperPipe, 1000);
  }
  DWORD written = 0;
  ::WriteFile(pipe.get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr);
  std::string reply;
  char buffer[512];
  while (reply.find('\n') == std::string::npos) {
    DWORD got = 0;
    if (!::ReadFile(pipe.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    reply.append(buffer, got);
  }
  return reply;
}

std::string read_all(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t longest_line(std::string_view text) {
  std::size_t longest = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    longest = std::max(longest, end + 1);
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return longest;
}

std::string json_path(const std::wstring& path) {
  std::string out;
  for (const wchar_t c : path) {
    if (c == L'\\')
      out += "\\\\";
    else
      out += static_cast<char>(c);  // the temporary folder's path is ASCII under Wine
  }
  return out;
}

bool wait_until_serving(HANDLE helper) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline && ::WaitForSingleObject(helper, 0) == WAIT_TIMEOUT) {
    if (exchange(kPing) == kPong) return true;
    ::Sleep(100);
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: log_flood_bench <lumar-helper.exe> <seconds> <flood threads>\n");
    return 2;
  }
  const int seconds = _wtoi(argv[2]);
  const int threads = _wtoi(argv[3]);
  if (seconds < 1 || threads < 1) return 2;

  const std::wstring program_data = lumar::bench::make_program_data(L"log-flood-bench");
  ::SetEnvironmentVariableW(L"ProgramData", program_data.c_str());
  const std::wstring log_path = program_data + L"\\Lumar\\helper.log";
  const std::wstring package = program_data + L"\\flood.msi";
  std::ofstream(package.c_str(), std::ios::binary) << std::string(4096, 'p');
  const std::string refused = "{\"op\":\"install_update\",\"path\":\"" + json_path(package) +
                              "\",\"signature\":\"not a signature\"}\n";

  lumar::UniqueHandle helper = lumar::bench::start_child(L"\"" + std::wstring(argv[1]) + L"\" run");
  if (!helper || !wait_until_serving(helper.get())) {
    std::fprintf(stderr, "log_flood_bench: the helper did not start\n");
    return 1;
  }
  // One refusal first: its line is what an unbounded log would add per request.
  const std::size_t before_probe = read_all(log_path).size();
  const std::string probe_reply = exchange(refused);
  ::Sleep(200);
  const std::string before = read_all(log_path);
  const std::size_t refusal_line = before.size() - before_probe;

  std::atomic<bool> flooding{true};
  std::atomic<long> requests{0}, refusals{0};
  std::atomic<long> pings{0}, pongs{0};
  std::atomic<long long> slowest_ping_us{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&] {
      while (flooding) {
        ++requests;
        if (exchange(refused).find("\"ok\":false") != std::string::npos) ++refusals;
      }
    });
  }
  workers.emplace_back([&] {
    while (flooding) {
      const auto sent = Clock::now();
      ++pings;
      if (exchange(kPing) == kPong) ++pongs;
      const auto took =
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
      slowest_ping_us = std::max<long long>(slowest_ping_us, took);
      ::Sleep(50);
    }
  });
  ::Sleep(static_cast<DWORD>(seconds) * 1000);
  flooding = false;
  for (std::thread& worker : workers) worker.join();
  ::Sleep(500);
  const std::string after = read_all(log_path);

  std::printf("probe_reply %s", probe_reply.empty() ? "none\n" : probe_reply.c_str());
  std::printf("requests %ld\nrefusals %ld\n", requests.load(), refusals.load());
  std::printf("refusal_line_bytes %zu\n", refusal_line);
  std::printf("unbounded_bytes %zu\n", static_cast<std::size_t>(refusals.load()) * refusal_line);
  std::printf("log_bytes_added %zu\n", after.size() - before.size());
  std::printf("longest_line %zu\n", longest_line(after));
  std::printf("pings %ld\npongs %ld\nslowest_ping_ms %.1f\n", pings.load(), pongs.load(),
              static_cast<double>(slowest_ping_us.load()) / 1000);

  lumar::bench::end_child(helper);
  ::DeleteFileW(package.c_str());
  ::DeleteFileW((program_data + L"\\Lumar\\helper.old.log").c_str());
  lumar::bench::remove_program_data(program_data);
  return 0;
}
