// Owned Win32 handles: one alias of the handle template per handle kind.
#pragma once

#include <windows.h>

#include <msi.h>
#include <userenv.h>

#include <type_traits>

#include "main/base/unique_any.h"

namespace lumar {

inline void close_kernel_handle(HANDLE handle) { ::CloseHandle(handle); }
inline void free_local(HLOCAL memory) { ::LocalFree(memory); }

// Processes, threads, tokens, events, mutexes: NULL means none.
using UniqueHandle = UniqueValue<HANDLE, close_kernel_handle, nullptr>;
using UniqueProcess = UniqueHandle;
using UniqueToken = UniqueHandle;

// Files, pipes and process snapshots: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type handle) { ::CloseHandle(handle); }
};
using UniqueFile = UniqueAny<FileHandleTraits>;

// Directory searches: INVALID_HANDLE_VALUE means none.
struct FindHandleTraits {
  using type = HANDLE;
  static type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(type handle) { ::FindClose(handle); }
};
using UniqueFind = UniqueAny<FindHandleTraits>;

// Service manager and service handles.
inline void close_service_manager_handle(SC_HANDLE handle) { ::CloseServiceHandle(handle); }
using UniqueServiceHandle = UniqueValue<SC_HANDLE, close_service_manager_handle, nullptr>;

// Memory the system allocated with LocalAlloc (security descriptors, messages).
using UniqueLocal = UniqueValue<HLOCAL, free_local, nullptr>;

// A child's attribute list, in memory its creator owns.
inline void delete_attribute_list(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  ::DeleteProcThreadAttributeList(list);
}
using UniqueAttributeList =
    UniqueValue<LPPROC_THREAD_ATTRIBUTE_LIST, delete_attribute_list, nullptr>;

// A user's environment from CreateEnvironmentBlock.
inline void destroy_environment_block(void* block) { ::DestroyEnvironmentBlock(block); }
using UniqueEnvironmentBlock = UniqueValue<void*, destroy_environment_block, nullptr>;

// Windows Installer handles: 0 means none.
inline void close_msi_handle(MSIHANDLE handle) { ::MsiCloseHandle(handle); }
using UniqueMsiHandle = UniqueValue<MSIHANDLE, close_msi_handle, MSIHANDLE{0}>;

// Handing owned handles to portable code, which holds them as UniqueOpaque
// and closes them the way the Win32 alias `Unique` does.
template <class Unique>
std::uintptr_t to_number(typename Unique::type value) {
  if constexpr (std::is_pointer_v<typename Unique::type>) {
    return reinterpret_cast<std::uintptr_t>(value);
  } else {
    return static_cast<std::uintptr_t>(value);
  }
}

template <class Unique>
typename Unique::type from_number(std::uintptr_t number) {
  if constexpr (std::is_pointer_v<typename Unique::type>) {
    return reinterpret_cast<typename Unique::type>(number);
  } else {
    return static_cast<typename Unique::type>(number);
  }
}

template <class Unique>
class Win32HandleCloser final : public HandleCloser {
 public:
  void close(std::uintptr_t value) override { Unique closing(from_number<Unique>(value)); }
};

template <class Unique>
inline Win32HandleCloser<Unique> win32_handle_closer;

template <class Opaque, class Unique>
Opaque to_opaque(Unique handle) {
  if (!handle) return Opaque();
  return Opaque(OpaqueValue{to_number<Unique>(handle.release()), &win32_handle_closer<Unique>});
}

// The Win32 handle behind one that this side handed out; it stays owned by
// `opaque`.
template <class Unique, class Opaque>
typename Unique::type native(const Opaque& opaque) {
  return from_number<Unique>(opaque.get().value);
}

}  // namespace lumar
