// Times the helper's acceptance of one large signed package the way the
// desktop app asks for it, under Wine: a foreground `lumar-helper.exe run`
// is started as a child, and each "install_update" request is timed from
// sending it (the helper then reads the package under the caller's identity)
// to its reply. The helper's peak working set is read from the child's handle
// at the end, because only a Windows-side program can ask Wine for it.
//
//   acceptance_bench <lumar-helper.exe> <package> <signature file> <repetitions>
//
// Prints one "key value" line per figure for bench/acceptance-bench.sh; exits
// 0 when every repetition got the expected reply.
#include <windows.h>

#include <psapi.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "main/base/text_win32.h"
#include "main/base/unique_any_win32.h"
#include "pipe_client.h"
#include "update/acceptance/base64.h"

namespace {

using Clock = std::chrono::steady_clock;

// The package is correctly signed and begins like a compound file, but it
// is no installer database: after staging and the comparison of the copy
// read back, the installer query refuses it. Any other reply means the
// request stopped earlier and the time would not cover acceptance.
constexpr std::string_view kExpectedRefusal = "\"error\":\"open package (";

std::string read_whole_file(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::wstring full_path(const std::wstring& path) {
  std::vector<wchar_t> buffer(32768);
  const DWORD n =
      ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (n == 0 || n >= buffer.size()) return path;
  return std::wstring(buffer.data(), n);
}

bool running(HANDLE process) { return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

// The bench runs its own helper in the foreground.
lumar::PipeExchangeOptions foreground_helper() {
  lumar::PipeExchangeOptions options;
  options.allow_foreground_server = true;
  return options;
}

// Under Wine the service dispatcher gives up only after about ten seconds;
// the helper then serves in the foreground.
bool wait_until_serving(HANDLE helper) {
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  lumar::PipeExchangeOptions options = foreground_helper();
  options.connect_deadline = std::chrono::seconds(1);
  while (Clock::now() < deadline && running(helper)) {
    const lumar::Result<std::string> reply =
        lumar::exchange_with_helper("{\"op\":\"ping\"}\n", options);
    if (reply && lumar::reply_is_ok(*reply)) return true;
  }
  return false;
}

std::size_t working_set(HANDLE process, bool peak) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::K32GetProcessMemoryInfo(process, &counters, sizeof counters)) return 0;
  return peak ? counters.PeakWorkingSetSize : counters.WorkingSetSize;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    std::fprintf(
        stderr,
        "usage: acceptance_bench <lumar-helper.exe> <package> <signature file> <repetitions>\n");
    return 2;
  }
  const std::wstring helper_exe = argv[1];
  // The helper reads the path as given, under our identity: make it absolute.
  const std::string package = lumar::narrow_lossy(full_path(argv[2]));
  const std::string signature = read_whole_file(argv[3]);
  const int repetitions = _wtoi(argv[4]);
  if (signature.empty() || repetitions < 1) {
    std::fprintf(stderr, "acceptance_bench: no signature or no repetitions\n");
    return 2;
  }
  const nlohmann::json request_object = {
      {"op", "install_update"}, {"path", package}, {"signature", lumar::encode_base64(signature)}};
  const std::string request = request_object.dump() + "\n";

  const std::wstring program_data = lumar::bench::make_program_data(L"acceptance-bench");
  ::SetEnvironmentVariableW(L"ProgramData", program_data.c_str());
  lumar::UniqueHandle helper = lumar::bench::start_child(L"\"" + helper_exe + L"\" run");
  if (!helper) {
    std::fprintf(stderr, "acceptance_bench: cannot start the helper (%lu)\n", ::GetLastError());
    lumar::bench::remove_program_data(program_data);
    return 1;
  }
  int status = 0;
  if (!wait_until_serving(helper.get())) {
    std::fprintf(stderr, "acceptance_bench: the helper did not answer ping\n");
    status = 1;
  } else {
    std::printf("idle_working_set_bytes %zu\n", working_set(helper.get(), false));
    std::vector<double> seconds;
    for (int i = 1; i <= repetitions && status == 0; ++i) {
      const auto start = Clock::now();
      const lumar::Result<std::string> reply =
          lumar::exchange_with_helper(request, foreground_helper());
      const std::chrono::duration<double> took = Clock::now() - start;
      if (!reply) {
        std::fprintf(stderr, "acceptance_bench: %s\n", reply.error().c_str());
        status = 1;
        break;
      }
      std::printf("run %d %.3f %s\n", i, took.count(), reply->c_str());
      std::fflush(stdout);
      if (reply->find(kExpectedRefusal) == std::string::npos) {
        std::fprintf(stderr,
                     "acceptance_bench: unexpected reply, the request ended before the "
                     "installer query\n");
        status = 3;
        break;
      }
      seconds.push_back(took.count());
    }
    if (status == 0) {
      std::printf("median_seconds %.3f\n", lumar::bench::median(seconds));
      std::printf("peak_working_set_bytes %zu\n", working_set(helper.get(), true));
    }
  }
  lumar::bench::end_child(helper);
  lumar::bench::remove_program_data(program_data);
  return status;
}
