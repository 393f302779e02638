// Raw bytes as they come from a file or a pipe.
#pragma once

#include <cstdint>
#include <vector>

namespace lumar {

using Bytes = std::vector<std::uint8_t>;

}  // namespace lumar
