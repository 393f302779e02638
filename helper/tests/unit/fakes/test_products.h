// The upgrade codes of the two editions, written out rather than taken from
// the product's own definitions, so that a changed code there fails a test.
#pragma once

#include <string>

namespace lumar::test {

inline const std::string kFull = "{7A1E3C55-4B90-5F21-9D3A-61C04E8B2F17}";
inline const std::string kLite = "{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}";

}  // namespace lumar::test
