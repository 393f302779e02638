#include "main/host_actions/unicode_lower.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "main/base/text.h"

namespace lumar {
namespace {

struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint8_t stride;
};
struct LowerSpecial {
  char32_t code;
  std::uint8_t length;
  char32_t lower[3];
};
struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "main/host_actions/unicode_lower_tables.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kFinalSigma = 0x03C2;
constexpr char32_t kSmallSigma = 0x03C3;

template <class T>
const T* last_starting_at_or_before(std::span<const T> table, char32_t c) {
  auto it = std::upper_bound(table.begin(), table.end(), c,
                             [](char32_t v, const T& entry) { return v < entry.first; });
  return it == table.begin() ? nullptr : &*(it - 1);
}

bool in_ranges(std::span<const CodeRange> ranges, char32_t c) {
  const CodeRange* r = last_starting_at_or_before(ranges, c);
  return r != nullptr && c <= r->last;
}

bool is_cased(char32_t c) { return in_ranges(kCased, c); }
bool is_case_ignorable(char32_t c) { return in_ranges(kCaseIgnorable, c); }

const LowerSpecial* special_lower(char32_t c) {
  for (const LowerSpecial& s : kLowerSpecial) {
    if (s.code == c) return &s;
  }
  return nullptr;
}

struct Decoded {
  char32_t code;
  std::size_t begin;
  std::size_t end;
  bool valid;
};

// Decodes the whole text once, so that the sigma context can look both ways.
std::vector<Decoded> decode(std::string_view text) {
  std::vector<Decoded> out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t begin = pos;
    const char32_t c = next_code_point(text, pos);
    // next_code_point reports an invalid byte as U+FFFD; a real U+FFFD is
    // three bytes long.
    const bool valid = c != 0xFFFD || text.substr(begin, pos - begin) == "\xEF\xBF\xBD";
    out.push_back({c, begin, pos, valid});
  }
  return out;
}

// Final_Sigma: a cased letter, then only case-ignorable ones, come before;
// case-ignorable ones and then a cased letter do not come after. A letter
// that is both cased and case-ignorable counts as cased.
bool is_final_sigma(const std::vector<Decoded>& cps, std::size_t i) {
  auto cased_beyond_ignorables = [&](std::size_t j) {
    if (!cps[j].valid) return std::optional<bool>(false);
    if (is_cased(cps[j].code)) return std::optional<bool>(true);
    if (is_case_ignorable(cps[j].code)) return std::optional<bool>();
    return std::optional<bool>(false);
  };
  bool cased_before = false;
  for (std::size_t j = i; j-- > 0;) {
    if (auto found = cased_beyond_ignorables(j)) {
      cased_before = *found;
      break;
    }
  }
  if (!cased_before) return false;
  for (std::size_t j = i + 1; j < cps.size(); ++j) {
    if (auto found = cased_beyond_ignorables(j)) return !*found;
  }
  return true;
}

}  // namespace

char32_t simple_lower(char32_t c) {
  const LowerRun* run = last_starting_at_or_before(std::span<const LowerRun>(kLowerRuns), c);
  if (run == nullptr || c > run->last || (c - run->first) % run->stride != 0) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + run->delta);
}

std::string to_lower_full(std::string_view text) {
  const std::vector<Decoded> cps = decode(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const Decoded& d = cps[i];
    if (!d.valid) {
      out.append(text.substr(d.begin, d.end - d.begin));
    } else if (d.code == kCapitalSigma) {
      append_utf8(out, is_final_sigma(cps, i) ? kFinalSigma : kSmallSigma);
    } else if (const LowerSpecial* s = special_lower(d.code)) {
      for (std::uint8_t k = 0; k < s->length; ++k) append_utf8(out, s->lower[k]);
    } else {
      append_utf8(out, simple_lower(d.code));
    }
  }
  return out;
}

}  // namespace lumar
