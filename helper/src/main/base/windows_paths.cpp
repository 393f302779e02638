#include "main/base/windows_paths.h"

#include "main/base/text.h"

namespace lumar {
namespace {

bool needs_quotes(std::string_view argument, QuoteRule rule) {
  const std::string_view blanks = rule == QuoteRule::kStandard ? " \t\n\v\"" : " \t";
  return argument.empty() || argument.find_first_of(blanks) != std::string_view::npos;
}

bool is_separator(char c, bool verbatim) { return c == '\\' || (!verbatim && c == '/'); }

// End of the component that begins at `pos`.
std::size_t component_end(std::string_view path, std::size_t pos, bool verbatim) {
  while (pos < path.size() && !is_separator(path[pos], verbatim)) ++pos;
  return pos;
}

struct PathPrefix {
  std::size_t length = 0;
  bool verbatim = false;  // "\\?\": only backslashes separate, "." is a name
};

// The part of a path before its root: a drive ("C:"), a UNC server and share
// ("\\server\share"), a device ("\\.\pipe") or an extended-length prefix
// ("\\?\C:", "\\?\UNC\server\share").
PathPrefix path_prefix(std::string_view path) {
  if (path.size() >= 2 && is_separator(path[0], false) && is_separator(path[1], false)) {
    if (path.size() >= 4 && path.substr(0, 4) == "\\\\?\\") {
      std::size_t pos = 4;
      if (starts_with_ascii_ci(path.substr(pos), "UNC\\")) {
        pos = component_end(path, pos + 4, true);                         // server
        if (pos < path.size()) pos = component_end(path, pos + 1, true);  // share
      } else {
        pos = component_end(path, pos, true);
      }
      return {pos, true};
    }
    if (path.size() >= 4 && path[2] == '.' && is_separator(path[3], false)) {
      return {component_end(path, 4, false), false};
    }
    std::size_t pos = component_end(path, 2, false);                   // server
    if (pos < path.size()) pos = component_end(path, pos + 1, false);  // share
    return {pos, false};
  }
  const char drive = path.empty() ? '\0' : ascii_lower(path[0]);
  if (path.size() >= 2 && drive >= 'a' && drive <= 'z' && path[1] == ':') return {2, false};
  return {};
}

struct LastComponent {
  std::size_t start = 0;
  std::string_view name;
};

// The last component that names something ("." components and empty ones
// between doubled separators do not).
std::optional<LastComponent> last_component(std::string_view path) {
  const PathPrefix prefix = path_prefix(path);
  std::optional<LastComponent> last;
  std::size_t pos = prefix.length;
  while (pos < path.size()) {
    if (is_separator(path[pos], prefix.verbatim)) {
      ++pos;
      continue;
    }
    const std::size_t end = component_end(path, pos, prefix.verbatim);
    const std::string_view name = path.substr(pos, end - pos);
    if (prefix.verbatim || name != ".") last = LastComponent{pos, name};
    pos = end;
  }
  return last;
}

}  // namespace

std::string quote_argument(std::string_view argument, QuoteRule rule) {
  const bool enclose = needs_quotes(argument, rule);
  std::string quoted;
  if (enclose) quoted += '"';
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count as escapes only before a double quote.
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  // Before the closing quote they would escape it.
  quoted.append(enclose ? backslashes * 2 : backslashes, '\\');
  if (enclose) quoted += '"';
  return quoted;
}

std::string command_line(std::string_view program, const std::vector<std::string>& arguments,
                         QuoteRule rule) {
  std::string line;
  if (rule == QuoteRule::kProgramAlwaysQuoted) {
    // The program name ends at the next quote whatever precedes it: a path
    // holds no quote, and its backslashes stay literal.
    line += '"';
    line += program;
    line += '"';
  } else {
    line = quote_argument(program, rule);
  }
  for (const std::string& argument : arguments) {
    line += ' ';
    line += quote_argument(argument, rule);
  }
  return line;
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  if (out.empty() || out.back() != '\\') out += '\\';
  out += name;
  return out;
}

bool has_file_name(std::string_view path, std::string_view name) {
  const std::optional<std::string_view> last = file_name(path);
  return last && equal_ascii_ci(*last, name);
}

std::optional<std::string_view> file_name(std::string_view path) {
  const std::optional<LastComponent> last = last_component(path);
  if (!last || last->name == "..") return std::nullopt;
  return last->name;
}

std::optional<std::string_view> parent_folder(std::string_view path) {
  const std::optional<LastComponent> last = last_component(path);
  if (!last) return std::nullopt;
  const PathPrefix prefix = path_prefix(path);
  // Keep the root separator right after the prefix: "C:\" is a folder, "C:"
  // is the drive's current folder.
  std::size_t floor = prefix.length;
  if (floor < path.size() && is_separator(path[floor], prefix.verbatim)) ++floor;
  std::size_t end = last->start;
  while (end > floor && is_separator(path[end - 1], prefix.verbatim)) --end;
  if (end == 0) return std::nullopt;
  return path.substr(0, end);
}

}  // namespace lumar
