#include "update/acceptance/streamed_digest.h"

namespace lumar {

void StreamedDigest::arrived(std::span<const std::uint8_t> bytes) {
  if (!lost_) hasher_.update(bytes);
}

std::optional<PackageDigest> StreamedDigest::finish() {
  if (lost_) return std::nullopt;
  return hasher_.finish();
}

}  // namespace lumar
