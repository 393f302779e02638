// The product family the helper belongs to, and the helper's own identity.
// Compile-time constants only: nothing here is read from the machine.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace lumar {

struct ProductVariant {
  std::string_view product_name;
  std::string_view upgrade_code;  // braced, upper case, 38 characters
};

enum class Edition { kFull, kLite };

// The two editions, in this fixed order: full, Lite.
inline constexpr std::array<ProductVariant, 2> kProductVariants{{
    {"Lumar KQ", "{7A1E3C55-4B90-5F21-9D3A-61C04E8B2F17}"},
    {"Lumar KQ Lite", "{E4D28B06-93AF-5C47-B1E2-0F5A7D3C9841}"},
}};

// The row whose UpgradeCode equals `code` (exactly 38 characters, ASCII
// letters compared without case; no trimming), the full row first.
std::optional<ProductVariant> classify_upgrade_code(std::string_view code);

// The edition this helper was built for (a build option; Lite by default).
constexpr Edition helper_edition() {
#if defined(LUMAR_EDITION_FULL) && LUMAR_EDITION_FULL
  return Edition::kFull;
#else
  return Edition::kLite;
#endif
}

inline constexpr std::string_view kVariantName = "desktop";
inline constexpr std::string_view kHelperExeName = "lumar-helper.exe";
inline constexpr std::string_view kUsageName = "lumar-helper";
inline constexpr std::string_view kServiceName = "LumarHelper";
inline constexpr std::string_view kServiceDisplayName = "Lumar KQ Privileged Helper";
inline constexpr std::string_view kLogFolderName = "Lumar";
inline constexpr std::string_view kLogFileName = "helper.log";
inline constexpr std::string_view kDesktopAppFileName = "lumar-desktop.exe";
inline constexpr std::string_view kPipeName = R"(\\.\pipe\lumar_helper)";

}  // namespace lumar
