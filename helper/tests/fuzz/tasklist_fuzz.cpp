// tasklist's CSV output from the fuzzer: whatever the child printed, the
// image name read from it is a non-empty piece of one line of it, without
// quotes, and the protection check takes it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "main/base/text.h"
#include "main/host_actions/process_termination.h"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> name = lumar::image_name_from_tasklist(output);
  if (!name) return 0;
  require(!name->empty(), "a name is never empty");
  require(name->find_first_of("\"\n") == std::string::npos, "a name holds no quote or line feed");
  require(lumar::is_valid_utf8(*name), "a name is UTF-8");
  require(lumar::decode_utf8_lossy(output).find("\"" + *name) != std::string::npos,
          "a name is what follows a quote in the output");
  (void)lumar::is_protected_process(*name);
  (void)lumar::protection_key(*name);
  return 0;
}
