// Stand-in for taskkill, whose Wine version does not support /T. Handles
// /F [/T] /PID {pid}: ends the process (and with /T every descendant) with
// exit code 1 and waits until it is gone, or exits with 128 when there is no
// such process, as the real tool does.
#include "fake_tools.h"

namespace {

bool end_process(DWORD pid) {
  const lumar::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  if (!process) return false;
  const bool ended = ::TerminateProcess(process.get(), 1) != 0;
  if (ended) ::WaitForSingleObject(process.get(), INFINITE);
  return ended;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using namespace lumar::fake;
  record("taskkill", argc, argv);
  bool tree = false;
  std::optional<unsigned long long> pid;
  for (int i = 1; i < argc; ++i) {
    if (_wcsicmp(argv[i], L"/T") == 0) tree = true;
    if (_wcsicmp(argv[i], L"/PID") == 0 && i + 1 < argc) pid = parse_pid(argv[i + 1]);
  }
  const std::vector<ProcessEntry> processes = list_processes();
  bool found = false;
  for (const ProcessEntry& p : processes) found = found || (pid && p.pid == *pid);
  if (!pid || !found) {
    print(STD_ERROR_HANDLE, "ERROR: The process \"" +
                                (argc > 0 ? utf8(argv[argc - 1]) : std::string()) +
                                "\" not found.\r\n");
    return 128;
  }
  // Children first, so that none is left without its parent half-way.
  std::vector<DWORD> doomed = {static_cast<DWORD>(*pid)};
  for (std::size_t i = 0; tree && i < doomed.size(); ++i) {
    for (const ProcessEntry& p : processes) {
      if (p.parent == doomed[i] && p.pid != doomed[i]) doomed.push_back(p.pid);
    }
  }
  for (std::size_t i = doomed.size(); i-- > 0;) end_process(doomed[i]);
  print(STD_OUTPUT_HANDLE, "SUCCESS: The process with PID " + std::to_string(*pid) +
                               " (child process of PID 0) has been terminated.\r\n");
  return 0;
}
