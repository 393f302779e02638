#include "main/host_actions/hosts_block.h"

#include <unordered_set>

#include "main/base/text.h"
#include "main/host_actions/unicode_lower.h"

namespace lumar {
namespace {

bool holds_white_space(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (is_unicode_white_space(next_code_point(text, pos))) return true;
  }
  return false;
}

// "#" starts a comment in a hosts line, so "wpad#.x" would block "wpad", not
// the name that was checked; and no control character belongs in a host
// name. Each of them is one byte in UTF-8, never part of a longer sequence.
bool holds_comment_or_control(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '#' || byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

void strip_prefix(std::string_view& text, std::string_view prefix) {
  if (text.starts_with(prefix)) text.remove_prefix(prefix.size());
}

void cut_at(std::string_view& text, char c) { text = text.substr(0, text.find(c)); }

// Lines end at a line feed, a carriage return before it included; a final
// line feed does not start another line.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

std::string hosts_path(const Environment& env) {
  const std::string root = env.get("SystemRoot").value_or("C:\\Windows");
  return root + "\\System32\\drivers\\etc\\hosts";
}

std::optional<std::string> normalize_domain(std::string_view entry) {
  const std::string lowered = to_lower_full(trim_unicode_white_space(entry));
  std::string_view d = lowered;
  strip_prefix(d, "https://");
  strip_prefix(d, "http://");
  strip_prefix(d, "www.");
  cut_at(d, '/');
  cut_at(d, '?');
  cut_at(d, ':');
  d = trim_unicode_white_space(d);
  if (d.empty() || holds_white_space(d) || holds_comment_or_control(d) ||
      d.find('.') == std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(d);
}

std::vector<std::string> build_domain_list(const std::vector<std::string>& entries) {
  std::vector<std::string> domains;
  std::unordered_set<std::string> seen;
  for (const std::string& entry : entries) {
    if (auto domain = normalize_domain(entry); domain && seen.insert(*domain).second) {
      domains.push_back(std::move(*domain));
    }
  }
  return domains;
}

std::string rewrite_hosts_content(std::string_view old_content,
                                  const std::vector<std::string>& domains) {
  const std::vector<std::string_view> lines = split_lines(old_content);
  // Markers are compared on bytes, so lines that are not UTF-8 pass through
  // untouched. A start marker with no end marker anywhere after it opens no
  // block: dropping everything after it would lose lines that are not ours.
  auto is_marker = [](std::string_view line, std::string_view marker) {
    return trim_unicode_white_space(line) == marker;
  };
  std::size_t last_end = 0;
  bool any_end = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (is_marker(lines[i], kHostsBlockEnd)) {
      last_end = i;
      any_end = true;
    }
  }

  std::string out;
  out.reserve(old_content.size() + domains.size() * 64 + 128);
  bool inside = false;
  bool first = true;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (is_marker(lines[i], kHostsBlockStart)) {
      inside = any_end && i < last_end;
    } else if (is_marker(lines[i], kHostsBlockEnd)) {
      inside = false;
    } else if (!inside) {
      if (!first) out += '\n';
      out += lines[i];
      first = false;
    }
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  out += '\n';
  if (domains.empty()) return out;

  out += kHostsBlockStart;
  out += '\n';
  for (const std::string& d : domains) {
    // The unspecified addresses, not the loopback ones: on loopback any
    // local user could listen and catch the machine's traffic for the name.
    out += "0.0.0.0 " + d + "\n";
    out += "0.0.0.0 www." + d + "\n";
    out += ":: " + d + "\n";
    out += ":: www." + d + "\n";
  }
  out += kHostsBlockEnd;
  out += '\n';
  return out;
}

Reply write_hosts_block(const std::vector<std::string>& entries, HostsFile& file,
                        ChildPrograms& programs, const Environment& env) {
  const std::string path = hosts_path(env);
  // A file that cannot be read is refused rather than taken as empty: writing
  // then would throw away every line that is not ours.
  auto old_content = file.read(path);
  if (!old_content.has_value()) return Reply::failure("hosts write: " + old_content.error());
  const std::string content =
      rewrite_hosts_content(old_content->value_or(""), build_domain_list(entries));
  if (auto replaced = file.replace(path, content); !replaced.has_value()) {
    return Reply::failure("hosts write: " + replaced.error());
  }
  // Neither a missing ipconfig nor its failure undoes the block.
  (void)programs.run("ipconfig", {"/flushdns"});
  return Reply::success();
}

}  // namespace lumar
