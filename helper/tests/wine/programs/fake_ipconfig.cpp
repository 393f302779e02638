// Stand-in for ipconfig, whose Wine version does not support /flushdns.
#include "fake_tools.h"

int wmain(int argc, wchar_t** argv) {
  using namespace lumar::fake;
  record("ipconfig", argc, argv);
  if (argc == 2 && _wcsicmp(argv[1], L"/flushdns") == 0) {
    print(STD_OUTPUT_HANDLE,
          "\r\nWindows IP Configuration\r\n\r\nSuccessfully flushed the DNS Resolver "
          "Cache.\r\n");
    return 0;
  }
  print(STD_OUTPUT_HANDLE, "\r\nError: unrecognized or incomplete command line.\r\n");
  return 1;
}
