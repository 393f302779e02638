#include "main/service/product.h"

#include "main/base/text.h"

namespace lumar {

std::optional<ProductVariant> classify_upgrade_code(std::string_view code) {
  for (const ProductVariant& row : kProductVariants) {
    if (equal_ascii_ci(code, row.upgrade_code)) return row;
  }
  return std::nullopt;
}

}  // namespace lumar
