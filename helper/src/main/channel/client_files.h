// Reading the package file that a client names, on the serving thread while
// it impersonates the client, so the read succeeds only where the client's
// user may read.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "main/base/expected.h"

namespace lumar {

// One open file. Its size, its kind and its bytes all come through this one
// handle, so a file swapped or grown behind the name after the open cannot
// change what is checked against what is read.
class ClientFile {
 public:
  virtual ~ClientFile() = default;
  // True only for a file on disk: a pipe, console or device could hold the
  // serial server for as long as its other end wishes.
  virtual bool on_disk() = 0;
  virtual Result<std::uint64_t> size() = 0;
  // Reads up to buffer.size() bytes at the current position; 0 at the end.
  virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

class ClientFiles {
 public:
  virtual ~ClientFiles() = default;
  // Opens `path` for reading, following links. Errors are the system's
  // description, "{message} (os error {code})"; a path holding U+0000 is
  // refused as an invalid name rather than cut short.
  virtual Result<std::unique_ptr<ClientFile>> open(std::string_view path) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<ClientFiles> make_win32_client_files();

}  // namespace lumar
