// A process for "kill" to end: it waits forever.
#include <windows.h>

int wmain() {
  ::Sleep(INFINITE);
  return 0;
}
