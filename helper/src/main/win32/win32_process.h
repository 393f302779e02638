// The Win32 process handle behind ProcessHandle.
#pragma once

#include "main/win32/win32_handle.h"
#include "update/request_caller.h"

namespace lumar {

class Win32ProcessHandle final : public ProcessHandle {
 public:
  explicit Win32ProcessHandle(UniqueHandle handle) : handle_(std::move(handle)) {}
  HANDLE get() const { return handle_.get(); }

 private:
  UniqueHandle handle_;
};

inline HANDLE native_handle(const ProcessHandle& process) {
  return static_cast<const Win32ProcessHandle&>(process).get();
}

}  // namespace lumar
