// A hostile client of the helper's pipe: opens connections, sends half a
// request on each, and then neither finishes nor closes them until it is
// terminated. It releases the named semaphore once per connection made, so
// that a test knows when they are all in place.
//
//   pipe_staller.exe <connections> <semaphore name>
#include <windows.h>

#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const int connections = _wtoi(argv[1]);
  const HANDLE ready = ::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, argv[2]);
  if (ready == nullptr) return 3;
  std::vector<HANDLE> held;
  const DWORD give_up = ::GetTickCount() + 30000;
  while (static_cast<int>(held.size()) < connections && ::GetTickCount() < give_up) {
    const HANDLE pipe = ::CreateFileW(L"\\\\.\\pipe\\lumar_helper", GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      ::Sleep(10);
      continue;
    }
    DWORD written = 0;
    ::WriteFile(pipe, "{\"op\":", 6, &written, nullptr);
    held.push_back(pipe);
    ::ReleaseSemaphore(ready, 1, nullptr);
  }
  ::Sleep(INFINITE);
  return 0;
}
