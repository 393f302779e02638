// Windows paths and command lines as text: the one place that splits and
// joins paths and quotes arguments. Portable, so that the rules are tested
// natively and the adapters only convert the result to UTF-16.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumar {

// Which command-line convention a line is built by. Both are read back the
// same way by CommandLineToArgvW; they differ in what they enclose.
enum class QuoteRule {
  // The usual convention: an argument (the program too) is enclosed in double
  // quotes when it is empty or holds a space, tab, line feed, vertical tab or
  // double quote, and is written unchanged otherwise.
  kStandard,
  // The lines the helper starts its own programs with (msiexec, the app,
  // the hand-over): the program is always enclosed, as it is; an argument is
  // enclosed only when empty or holding a space or tab, and a double quote
  // in an unenclosed one is escaped in place.
  kProgramAlwaysQuoted,
};

// One argument. Backslashes before a double quote, including the closing
// one, are doubled and the quote is escaped; other backslashes are literal.
std::string quote_argument(std::string_view argument, QuoteRule rule = QuoteRule::kStandard);

// The program, then each argument after one space.
std::string command_line(std::string_view program, const std::vector<std::string>& arguments,
                         QuoteRule rule = QuoteRule::kStandard);

// "{base}\{name}": one backslash unless `base` already ends in one (an empty
// base gets one too).
std::string join_path(std::string_view base, std::string_view name);

// The final component of a path; nothing when the path is empty, a bare root
// or prefix, or ends in "..". Trailing separators and "." components are
// skipped, as the system's own path parsing does. Both "\" and "/" separate,
// except after the extended-length prefix "\\?\".
std::optional<std::string_view> file_name(std::string_view path);
// True when the path's last component is `name`, the ASCII letters compared
// without case.
bool has_file_name(std::string_view path, std::string_view name);

// The folder part of a path (a root keeps its separator: the parent of
// "C:\app.exe" is "C:\"); nothing when the path has no parent.
std::optional<std::string_view> parent_folder(std::string_view path);

}  // namespace lumar
