#include "vendro/core/text.hpp"

#include <utf8proc.h>

namespace vendro::text {

namespace {

// Decodes the code point at `pos`; an invalid sequence yields -1 and a length of one byte.
utf8proc_ssize_t next(std::string_view text, std::size_t pos, utf8proc_int32_t& cp) {
  auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos),
                            static_cast<utf8proc_ssize_t>(text.size() - pos), &cp);
  if (n <= 0) {
    cp = -1;
    return 1;
  }
  return n;
}

template <class Map>
std::string map_case(std::string_view text, Map map) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    utf8proc_int32_t cp;
    auto n = next(text, pos, cp);
    if (cp < 0) {
      out.push_back(text[pos]);
    } else {
      utf8proc_uint8_t buf[4];
      auto len = utf8proc_encode_char(map(cp), buf);
      out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(len));
    }
    pos += static_cast<std::size_t>(n);
  }
  return out;
}

// The length of the well-formed UTF-8 sequence at `pos` (Unicode table 3-7) as a positive number,
// or, when there is none, minus the length of its maximal ill-formed subpart (at least one byte).
int sequence_at(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return 1;
  int length = 0;
  unsigned char low = 0x80;  // the range of the second byte; later ones are always 80..BF
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    const std::size_t at = pos + static_cast<std::size_t>(i);
    if (at >= text.size()) return -i;
    const unsigned char c = byte(at);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return -i;
  }
  return length;
}

}  // namespace

std::string replace_invalid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const int n = sequence_at(text, pos);
    if (n > 0) {
      out.append(text.substr(pos, static_cast<std::size_t>(n)));
      pos += static_cast<std::size_t>(n);
    } else {
      out += "\uFFFD";
      pos += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    utf8proc_int32_t cp;
    pos += static_cast<std::size_t>(next(text, pos, cp));
    if (cp < 0) return false;
  }
  return true;
}

bool is_space(char32_t cp) {
  if ((cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85) return true;
  if (cp < 0x80) return false;
  auto category = utf8proc_category(static_cast<utf8proc_int32_t>(cp));
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

std::string strip(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool seen = false;
  for (std::size_t pos = 0; pos < text.size();) {
    utf8proc_int32_t cp;
    auto n = static_cast<std::size_t>(next(text, pos, cp));
    if (cp < 0 || !is_space(static_cast<char32_t>(cp))) {
      if (!seen) begin = pos;
      seen = true;
      end = pos + n;
    }
    pos += n;
  }
  return seen ? std::string(text.substr(begin, end - begin)) : std::string();
}

std::string to_lower(std::string_view text) {
  return map_case(text, utf8proc_tolower);
}

std::string to_upper(std::string_view text) {
  return map_case(text, utf8proc_toupper);
}

std::size_t length(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) {
    utf8proc_int32_t cp;
    pos += static_cast<std::size_t>(next(text, pos, cp));
  }
  return count;
}

std::string first_code_points(std::string_view text, std::size_t count) {
  std::size_t pos = 0;
  for (std::size_t taken = 0; pos < text.size() && taken < count; ++taken) {
    utf8proc_int32_t cp;
    pos += static_cast<std::size_t>(next(text, pos, cp));
  }
  return std::string(text.substr(0, pos));
}

std::string terminal_safe(std::string_view text, bool keep_line_breaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    utf8proc_int32_t cp;
    auto n = static_cast<std::size_t>(next(text, pos, cp));
    if (cp < 0) {
      out += "\uFFFD";
    } else if (cp == '\n' || cp == '\t') {
      if (keep_line_breaks) out += static_cast<char>(cp);
    } else if (cp >= 0x20 && (cp < 0x7F || cp > 0x9F)) {
      out.append(text.substr(pos, n));
    }
    pos += n;
  }
  return out;
}

}  // namespace vendro::text
