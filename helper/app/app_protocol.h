// The application's request lines and how a reply line reads, as the
// helper's pipe protocol has them: one UTF-8 JSON object per line.
#pragma once

#include <string>
#include <string_view>

#include "app_exchange.h"
#include "lumar_app_client.h"
#include "main/base/expected.h"

namespace lumar::app {

// {"op":"ping"} and its line feed.
std::string ping_request();

// The "install_update" line for the package at `package_path` with the
// Base64 of the whole .minisig file; the reason instead when the path is not
// UTF-8, holds a NUL character or is not a full path.
Result<std::string> update_request(std::string_view package_path, std::string_view minisig_file);

// What an exchange amounts to: the reply's "ok" and "error", or why no reply
// came.
Answer read_answer(const Exchange& exchange);

// Standard Base64 (RFC 4648 alphabet, "=" padding), one line.
std::string encode_base64(std::string_view bytes);

// A drive path ("C:\..." or "C:/...") or a UNC or device path ("\\server\...",
// "\\?\..."): one that does not depend on the current drive or folder.
bool is_full_path(std::string_view path);

// Well-formed UTF-8: no overlong forms, surrogates or code points beyond
// U+10FFFF.
bool is_utf8(std::string_view text);

}  // namespace lumar::app
