#include "main/base/text.h"

#include <algorithm>
#include <limits>

namespace lumar {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the valid UTF-8 sequence starting at `pos`, or 0 when the bytes
// there are no valid sequence. Follows the Unicode table of well-formed byte
// sequences, so overlong forms and encoded surrogates are invalid.
std::size_t valid_sequence_length(std::string_view s, std::size_t pos, char32_t* out) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = at(pos);
  const std::size_t left = s.size() - pos;
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  auto cont = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return pos + i < s.size() && at(pos + i) >= lo && at(pos + i) <= hi;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left < 2 || !cont(1)) return 0;
    *out = (char32_t{b0} & 0x1F) << 6 | (at(pos + 1) & 0x3F);
    return 2;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
    if (!cont(1, lo, hi) || !cont(2)) return 0;
    *out = (char32_t{b0} & 0x0F) << 12 | (char32_t{at(pos + 1)} & 0x3F) << 6 | (at(pos + 2) & 0x3F);
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (!cont(1, lo, hi) || !cont(2) || !cont(3)) return 0;
    *out = (char32_t{b0} & 0x07) << 18 | (char32_t{at(pos + 1)} & 0x3F) << 12 |
           (char32_t{at(pos + 2)} & 0x3F) << 6 | (at(pos + 3) & 0x3F);
    return 4;
  }
  return 0;
}

// Length of the maximal subpart of an ill-formed sequence at `pos`: the
// longest prefix that could still have begun a valid sequence (at least 1).
std::size_t maximal_subpart(std::string_view s, std::size_t pos) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = at(pos);
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  std::size_t len = 1;
  for (std::size_t i = 1; i <= need && pos + i < s.size(); ++i) {
    const unsigned char b = at(pos + i);
    const bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) break;
    ++len;
  }
  return len;
}

// Like valid_sequence_length but also accepts encoded surrogates (WTF-8).
std::size_t wtf8_sequence_length(std::string_view s, std::size_t pos, char32_t* out) {
  if (std::size_t n = valid_sequence_length(s, pos, out)) return n;
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  if (at(pos) == 0xED && pos + 2 < s.size() && at(pos + 1) >= 0xA0 && at(pos + 1) <= 0xBF &&
      at(pos + 2) >= 0x80 && at(pos + 2) <= 0xBF) {
    *out = 0xD000 | (char32_t{at(pos + 1)} & 0x3F) << 6 | (at(pos + 2) & 0x3F);
    return 3;
  }
  return 0;
}

}  // namespace

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
  char32_t c = 0;
  if (std::size_t n = valid_sequence_length(text, pos, &c)) {
    pos += n;
    return c;
  }
  pos += maximal_subpart(text, pos);
  return kReplacement;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    char32_t c = 0;
    if (std::size_t n = valid_sequence_length(bytes, pos, &c)) {
      out.append(bytes.substr(pos, n));
      pos += n;
    } else {
      append_utf8(out, kReplacement);
      pos += maximal_subpart(bytes, pos);
    }
  }
  return out;
}

std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes) {
  return decode_utf8_lossy(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    char32_t c = 0;
    const std::size_t n = valid_sequence_length(bytes, pos, &c);
    if (n == 0) return false;
    pos += n;
  }
  return true;
}

std::u16string to_wide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size() + 1);
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = 0;
    if (std::size_t n = wtf8_sequence_length(text, pos, &c)) {
      pos += n;
    } else {
      c = kReplacement;
      pos += maximal_subpart(text, pos);
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  out += u'\0';
  return out;
}

namespace {
std::string from_wide(std::u16string_view wide, bool keep_surrogates) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t c = wide[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF && !keep_surrogates) {
      c = kReplacement;
    }
    append_utf8(out, c);
  }
  return out;
}
}  // namespace

std::string from_wide_lossy(std::u16string_view wide) { return from_wide(wide, false); }

// WTF-8 goes through UTF-16 so that an unpaired surrogate becomes one U+FFFD
// rather than one per byte.
std::string os_text_lossy(std::string_view os_text) {
  std::u16string units = to_wide(os_text);
  units.pop_back();  // the terminating 0
  return from_wide_lossy(units);
}
OsString from_wide_keep_surrogates(std::u16string_view wide) { return from_wide(wide, true); }

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) { return ascii_lower(c); });
  return out;
}

bool equal_ascii_ci(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ascii_lower(x) == ascii_lower(y);
         });
}

bool starts_with_ascii_ci(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_ascii_ci(text.substr(0, prefix.size()), prefix);
}

bool ends_with_ascii_ci(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         equal_ascii_ci(text.substr(text.size() - suffix.size()), suffix);
}

bool is_unicode_white_space(char32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trim_unicode_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t pos = begin;
    char32_t c = 0;
    const std::size_t n = valid_sequence_length(text, pos, &c);
    if (n == 0 || !is_unicode_white_space(c)) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    char32_t c = 0;
    const std::size_t n = valid_sequence_length(text, start, &c);
    if (n != end - start || !is_unicode_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace lumar
