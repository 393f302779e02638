// What the staging folder's Windows side shares with the leftover scan's.
#pragma once

#include <windows.h>

namespace lumar {

// Whether the entry's owner is LocalSystem, the Administrators group or the
// account the helper runs as: owners that no unprivileged user can give a
// file or folder. As a service the helper's account is LocalSystem; under an
// emulator with a single user (where everything belongs to that user) it is
// the account that made the entry. False when the owner cannot be read.
bool owned_by_helper_side(HANDLE entry);

}  // namespace lumar
