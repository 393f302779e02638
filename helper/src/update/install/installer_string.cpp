#include "update/install/installer_string.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace lumar {

SystemResult<std::u16string> read_installer_string(const InstallerStringCodes& codes,
                                                   const InstallerStringCall& call) {
  std::u16string buffer(kFirstInstallerStringUnits, u'\0');
  std::uint32_t size = kFirstInstallerStringUnits;
  std::uint32_t code = call(buffer.data(), &size);
  if (code == codes.more_data && size < std::numeric_limits<std::uint32_t>::max()) {
    buffer.assign(static_cast<std::size_t>(size) + 1, u'\0');
    size = static_cast<std::uint32_t>(buffer.size());
    code = call(buffer.data(), &size);
  }
  if (code != codes.success) return Unexpected(code);
  // The length comes from outside; never read past what was allocated.
  buffer.resize(std::min<std::size_t>(size, buffer.size()));
  return buffer;
}

}  // namespace lumar
