#include "vendro/core/uri.hpp"

#include "vendro/core/text.hpp"

namespace vendro::uri {

namespace {

bool is_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
bool is_scheme(std::string_view text) {
  if (text.empty() || !is_alpha(text.front())) return false;
  for (char c : text) {
    if (!is_alpha(c) && !is_digit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

bool is_unreserved(char c) {
  return is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string encode(std::string_view bytes, bool blank_as_plus) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    if (is_unreserved(c)) {
      out += c;
    } else if (c == ' ' && blank_as_plus) {
      out += '+';
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += HEX[byte >> 4];
      out += HEX[byte & 0x0F];
    }
  }
  return out;
}

// One name or value of form data: "+" is a blank, "%XX" a byte, the result valid UTF-8.
std::string decode_form_text(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      bytes += ' ';
    } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
               hex_value(text[i + 2]) >= 0) {
      bytes += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      bytes += c;
    }
  }
  return text::replace_invalid_utf8(bytes);
}

}  // namespace

UriParts split(std::string_view text) {
  UriParts parts;
  std::string_view rest = text;
  if (auto colon = rest.find_first_of(":/?#");
      colon != std::string_view::npos && rest[colon] == ':' && is_scheme(rest.substr(0, colon))) {
    parts.scheme = std::string(rest.substr(0, colon));
    rest.remove_prefix(colon + 1);
  }
  if (rest.starts_with("//")) {
    auto end = rest.find_first_of("/?#", 2);
    if (end == std::string_view::npos) end = rest.size();
    parts.authority = std::string(rest.substr(2, end - 2));
    rest.remove_prefix(end);
  }
  auto path_end = rest.find_first_of("?#");
  if (path_end == std::string_view::npos) path_end = rest.size();
  parts.path = std::string(rest.substr(0, path_end));
  rest.remove_prefix(path_end);
  if (rest.starts_with('?')) {
    auto end = rest.find('#');
    if (end == std::string_view::npos) end = rest.size();
    parts.query = std::string(rest.substr(1, end - 1));
    rest.remove_prefix(end);
  }
  if (rest.starts_with('#')) parts.fragment = std::string(rest.substr(1));
  return parts;
}

std::string UriParts::host() const {
  if (!authority) return "";
  std::string_view host_port = *authority;
  // User information cannot hold "@" unescaped; taking the last one is what browsers do.
  if (auto at = host_port.rfind('@'); at != std::string_view::npos) {
    host_port.remove_prefix(at + 1);
  }
  std::string_view host;
  if (host_port.starts_with('[')) {
    auto close = host_port.find(']');
    host = close == std::string_view::npos ? host_port : host_port.substr(0, close + 1);
  } else {
    host = host_port.substr(0, host_port.find(':'));
  }
  return text::to_lower(host);
}

std::string UriParts::to_string() const {
  std::string out;
  if (scheme) out += *scheme + ":";
  if (authority) out += "//" + *authority;
  out += path;
  if (query) out += "?" + *query;
  if (fragment) out += "#" + *fragment;
  return out;
}

std::string host_of(std::string_view text) {
  return split(text).host();
}

std::string percent_encode(std::string_view bytes) {
  return encode(bytes, false);
}

FormFields decode_form(std::string_view query) {
  FormFields fields;
  while (!query.empty()) {
    auto amp = query.find('&');
    std::string_view field = query.substr(0, amp);
    query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    if (field.empty()) continue;
    auto eq = field.find('=');
    std::string_view name = field.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? "" : field.substr(eq + 1);
    fields.emplace_back(decode_form_text(name), decode_form_text(value));
  }
  return fields;
}

std::string encode_form(const FormFields& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    out += encode(name, true) + "=" + encode(value, true);
  }
  return out;
}

}  // namespace vendro::uri
