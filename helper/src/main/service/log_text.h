// Text on its way into a log line: one event stays one line, and a piece
// that came from outside the helper stays short.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumar {

// Longest piece of foreign text a log line shows, in bytes after escaping.
inline constexpr std::size_t kMaxForeignPieceBytes = 512;

// `text` with every character that could end or break a line in some viewer
// written as a visible escape: the C0 and C1 controls and DEL as "\n", "\r",
// "\t" or "\u00XX", U+2028 and U+2029 as "\u2028" and "\u2029", an unpaired
// surrogate as "\udXXX" and any other byte that is not UTF-8 as "\xXX".
// Backslashes are left alone, so escaping twice changes nothing, and text
// without such characters comes back unchanged.
std::string escape_log_text(std::string_view text);

// A piece of text from outside the helper (a caller's image path, a
// package's UpgradeCode or version, a refusal that quotes them), escaped and,
// when longer than kMaxForeignPieceBytes, cut at a character boundary and
// marked "…(+{n} bytes)", n counting the piece's bytes left out.
std::string cut_foreign_piece(std::string_view piece);

}  // namespace lumar
