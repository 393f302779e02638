// How Windows Installer hands back text: into a buffer the caller offers,
// with a second call when the first buffer was too small. Kept apart from
// msi.dll so that the rule is tested without it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "main/base/expected.h"

namespace lumar {

// The first buffer's size in UTF-16 units, the terminating 0 included.
inline constexpr std::uint32_t kFirstInstallerStringUnits = 128;

// The return codes by which a call says it filled the buffer, or that the
// buffer was too small.
struct InstallerStringCodes {
  std::uint32_t success = 0;
  std::uint32_t more_data = 0;
};

// One call of the installer. `*size` in: the buffer's capacity in units; out:
// the value's length without its 0, also when the buffer was too small.
using InstallerStringCall = std::function<std::uint32_t(char16_t* buffer, std::uint32_t* size)>;

// Calls with 128 units; when the answer is "more data", calls once more with
// room for the length it told plus the 0. The second answer is final: the
// units, or the code of a call that did not succeed.
SystemResult<std::u16string> read_installer_string(const InstallerStringCodes& codes,
                                                   const InstallerStringCall& call);

}  // namespace lumar
