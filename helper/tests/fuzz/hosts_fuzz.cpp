// The hosts-file rewrite from the fuzzer: the input's first line holds the
// requested entries, separated by commas; the rest is the old hosts file.
// The rewrite must keep to its promises whatever the old file holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "main/base/text.h"
#include "main/host_actions/hosts_block.h"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
  }
}

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    lines.push_back(text.substr(0, lf));
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
  }
  return lines;
}

std::size_t count_markers(std::string_view text, std::string_view marker) {
  std::size_t count = 0;
  for (std::string_view line : lines_of(text)) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (lumar::trim_unicode_white_space(line) == marker) ++count;
  }
  return count;
}

// A line that ends in several carriage returns loses one of them per
// rewrite (CR LF is read as one line end, and lines are written with LF), so
// the rewrite is compared with itself with the carriage returns at line ends
// left aside.
std::string without_line_end_crs(std::string_view text) {
  std::string out;
  for (std::string_view line : lines_of(text)) {
    while (line.ends_with('\r')) line.remove_suffix(1);
    out += line;
    out += '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\n');
  const std::string_view requested = input.substr(0, split);
  const std::string_view old_content =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);

  std::vector<std::string> entries;
  for (std::string_view rest = requested;;) {
    const std::size_t comma = rest.find(',');
    entries.emplace_back(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  const std::vector<std::string> domains = lumar::build_domain_list(entries);
  for (const std::string& domain : domains) {
    require(domain.find('.') != std::string::npos, "a domain has a dot");
    for (const unsigned char c : domain) {
      require(c > 0x20 && c != 0x7F && c != '#', "a domain holds no space, control or #");
    }
  }

  const std::string written = lumar::rewrite_hosts_content(old_content, domains);
  require(!written.empty() && written.back() == '\n', "the file ends with a line feed");
  const std::size_t blocks = domains.empty() ? 0 : 1;
  require(count_markers(written, lumar::kHostsBlockStart) == blocks, "one start marker");
  require(count_markers(written, lumar::kHostsBlockEnd) == blocks, "one end marker");
  require(without_line_end_crs(lumar::rewrite_hosts_content(written, domains)) ==
              without_line_end_crs(written),
          "rewriting with the same domains changes nothing");
  require(without_line_end_crs(lumar::rewrite_hosts_content(written, {})) ==
              without_line_end_crs(lumar::rewrite_hosts_content(old_content, {})),
          "removing the block gives the file without any block");
  return 0;
}
