// Stand-in for tasklist, whose Wine version prints nothing. Understands the
// one query the helper makes, /FI "PID eq {pid}" /FO CSV /NH, and answers
// with the real tool's line for that process, or its message when there is
// none.
#include "fake_tools.h"

int wmain(int argc, wchar_t** argv) {
  using namespace lumar::fake;
  record("tasklist", argc, argv);
  std::optional<unsigned long long> pid;
  for (int i = 1; i + 1 < argc; ++i) {
    const std::wstring arg = argv[i + 1];
    if (_wcsicmp(argv[i], L"/FI") == 0 && arg.rfind(L"PID eq ", 0) == 0) {
      pid = parse_pid(arg.c_str() + 7);
    }
  }
  if (pid) {
    for (const ProcessEntry& p : list_processes()) {
      if (p.pid == *pid) {
        print(STD_OUTPUT_HANDLE, "\"" + p.image + "\",\"" + std::to_string(p.pid) +
                                     "\",\"Console\",\"1\",\"4,096 K\"\r\n");
        return 0;
      }
    }
  }
  print(STD_OUTPUT_HANDLE, "INFO: No tasks are running which match the specified criteria.\r\n");
  return 0;
}
