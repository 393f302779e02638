// Owned Win32 handles: one alias of the handle template per handle kind.
#pragma once

#include <windows.h>

#include "main/unique_any.h"

namespace lumar {

inline void close_kernel_handle(HANDLE handle) { ::CloseHandle(handle); }
inline void free_local(HLOCAL memory) { ::LocalFree(memory); }

// Processes, threads, tokens, events, mutexes, snapshots: NULL means none.
using UniqueHandle = UniqueValue<HANDLE, close_kernel_handle, nullptr>;

// Files and pipes: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type handle) { ::CloseHandle(handle); }
};
using UniqueFile = UniqueAny<FileHandleTraits>;

// Service manager and service handles.
inline void close_service_manager_handle(SC_HANDLE handle) { ::CloseServiceHandle(handle); }
using UniqueServiceHandle = UniqueValue<SC_HANDLE, close_service_manager_handle, nullptr>;

// Memory the system allocated with LocalAlloc (security descriptors, messages).
using UniqueLocal = UniqueValue<HLOCAL, free_local, nullptr>;

}  // namespace lumar
