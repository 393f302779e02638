// Reading the package file that a client names, on the serving thread while
// it impersonates the client, so the read succeeds only where the client's
// user may read.
#pragma once

#include <cstdint>
#include <string_view>

#include "main/bytes.h"
#include "main/expected.h"

namespace lumar {

class ClientFiles {
 public:
  virtual ~ClientFiles() = default;
  // Errors are the system's description: "{message} (os error {code})".
  virtual Result<std::uint64_t> file_size(std::string_view path) = 0;  // follows links
  virtual Result<Bytes> read_file(std::string_view path, std::uint64_t expected_size) = 0;
};

}  // namespace lumar
