// Stands in for a busy Windows Installer, which Wine never is: creates and
// owns the mutex "Global\_MSIExecute" and holds it until it is terminated
// (the mutex is then abandoned, as after an installer that died).
//
//   hold_installer_mutex.exe
//
// Exit code 3 when the mutex cannot be created or is already there.
#include <windows.h>

int wmain() {
  const HANDLE mutex = ::CreateMutexW(nullptr, TRUE, L"Global\\_MSIExecute");
  if (mutex == nullptr || ::GetLastError() == ERROR_ALREADY_EXISTS) return 3;
  ::Sleep(INFINITE);
  return 0;
}
